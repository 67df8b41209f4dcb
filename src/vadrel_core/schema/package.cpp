// The package `vadrel_core.schema`: its public names.
#include "pyhost/frame.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {

void init_schema(nb::module_ m) {
    pyhost::reexport(m, "vadrel_core.schema.component", {"Component"});
    pyhost::reexport(m, "vadrel_core.schema.event", {"Event"});
    pyhost::set_all(m, {"Component", "Event"});
}

}  // namespace vadrel_core
