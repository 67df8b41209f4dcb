// `vadrel_core.event.handler.event_handler`: BaseEventHandler, the abstract receiver of an emitter's events.
#include "pyhost/frame.hpp"
#include "vadrel_core/abstract_method.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {

void init_event_handler_base(nb::module_ m) {
    pyhost::ClassBuilder(m, "BaseEventHandler", "Receives the events of an emitter; subclasses say what to do with them.")
        .base(pyhost::import_from("abc", "ABC"))
        .method(
            "__init__",
            [](nb::handle self, nb::handle name) {
                // Unnamed handlers are known by their class.
                nb::object given = nb::borrow(name);
                nb::setattr(self, "name", name.is_none() ? nb::object(self.type().attr("__name__")) : given);
            },
            nb::arg("name").none())
        .attr("emit", vadrel_abstract::abstract_method(m, "BaseEventHandler", "emit", "Handle one event (asynchronous).",
                                                                  nb::arg("event")))
        .attr("close", vadrel_abstract::abstract_method(m, "BaseEventHandler", "close", "Release what the handler holds (asynchronous)."))
        .build();
    pyhost::set_all(m, {"BaseEventHandler"});
}

}  // namespace vadrel_core
