#include "pyhost/frame.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {

void init_schema_component(nb::module_ m) {
    pyhost::ClassBuilder(m, "Component", "Base of components: `run` is the entry point, `_run` the subclass's body.")
        .build();
    pyhost::set_all(m, {"Component"});
}

}  // namespace vadrel_core
