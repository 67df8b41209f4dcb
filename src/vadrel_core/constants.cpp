// `vadrel_core.constants`: the kinds of event and of event value.
#include "pyhost/frame.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {

pyhost::Global EventType;
pyhost::Global EventValueType;

void init_constants(nb::module_ m) {
    EventType.set(pyhost::make_str_enum(m, "EventType", "Kinds of events that a component or invoker emits.",
                                        {{"RESPONSE", "response"},
                                         {"STATUS", "status"},
                                         {"ERROR", "error"},
                                         {"DATA", "data"}}));
    EventValueType.set(pyhost::make_str_enum(m, "EventValueType", "Kinds of value that an event carries.",
                                             {{"TEXT", "text"}, {"JSON", "json"}}));
    pyhost::set_all(m, {"EventType", "EventValueType"});
}

}  // namespace vadrel_core
