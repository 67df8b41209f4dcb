// The packages `vadrel_core.event` and `vadrel_core.event.handler`: their public names.
#include "pyhost/frame.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {

void init_event(nb::module_ m) {
    pyhost::reexport(m, "vadrel_core.event.event_emitter", {"EventEmitter"});
    nb::module_::import_("vadrel_core.event.handler");
    pyhost::set_all(m, {"EventEmitter"});
}

void init_event_handler(nb::module_ m) {
    pyhost::reexport(m, "vadrel_core.event.handler.event_handler", {"BaseEventHandler"});
    pyhost::set_all(m, {"BaseEventHandler"});
}

}  // namespace vadrel_core
