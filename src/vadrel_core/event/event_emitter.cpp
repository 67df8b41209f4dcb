#include "pyhost/frame.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {

void init_event_emitter(nb::module_ m) {
    pyhost::ClassBuilder(m, "EventEmitter", "Hands every event to each of its handlers, in order.")
        .method(
            "__init__",
            [](nb::handle self, nb::handle handlers) {
                nb::setattr(self, "handlers", handlers.is_none() ? nb::list() : nb::list(handlers));
            },
            nb::arg("handlers").none() = nb::none())
        .build();
    pyhost::set_all(m, {"EventEmitter"});
}

}  // namespace vadrel_core
