// `vadrel_core.schema.component`: Component, the base whose `run` awaits the subclass's `_run`.
#include "pyasync/pyasync.hpp"
#include "pyhost/frame.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {
namespace {

pyasync::Task run(nb::object self, nb::kwargs kwargs) {
    co_return co_await self.attr("_run")(**kwargs);
}

}  // namespace

void init_schema_component(nb::module_ m) {
    pyhost::ClassBuilder(m, "Component", "Base of components: `run` is the entry point, `_run` the subclass's body.")
        .method("run", &run,
            nb::arg("kwargs"), "Run the component (asynchronous): await `self._run(**kwargs)` and return its result.")
        .build();
    pyhost::set_all(m, {"Component"});
}

}  // namespace vadrel_core
