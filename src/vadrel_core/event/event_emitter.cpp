// `vadrel_core.event.event_emitter`: EventEmitter, which hands each event to its handlers in turn.
#include "pyasync/pyasync.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {
namespace {

// One handler after another, each awaited before the next sees the event: the handlers as they were when the
// event came, since a handler may change the list.
pyasync::VoidTask emit(nb::object self, nb::object event) {
    nb::tuple handlers = pyhost::snapshot(self.attr("handlers"));
    for (nb::handle handler : handlers) {
        co_await handler.attr("emit")(event);
    }
}

pyasync::VoidTask close(nb::object self) {
    nb::tuple handlers = pyhost::snapshot(self.attr("handlers"));
    for (nb::handle handler : handlers) {
        co_await handler.attr("close")();
    }
}

}  // namespace

void init_event_emitter(nb::module_ m) {
    pyhost::ClassBuilder(m, "EventEmitter", "Hands every event to each of its handlers, in order.")
        .method(
            "__init__",
            [](nb::handle self, nb::handle handlers) {
                nb::setattr(self, "handlers", handlers.is_none() ? nb::list() : nb::list(handlers));
            },
            nb::arg("handlers").none())
        .method("emit", &emit,
            nb::arg("event"), "Await each handler's `emit(event)`, in order (asynchronous).")
        .method("close", &close,
            "Await each handler's `close()`, in order (asynchronous).")
        .build();
    pyhost::set_all(m, {"EventEmitter"});
}

}  // namespace vadrel_core
