// `vadrel_core.schema.event`: Event, the data model of one emitted event.
#include "pyhost/frame.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {

void init_schema_event(nb::module_ m) {
    nb::module_::import_("vadrel_core.constants");
    nb::object any = pyhost::import_from("typing", "Any");
    pyhost::ClassBuilder::model(m, "Event", "One event: what happened, what kind of value it carries, and the value.")
        .field("type", EventType.get(), "Kind of the event")
        .field("value_type", EventValueType.get(), EventValueType.attr("TEXT"), "Kind of the value")
        .field("value", any, nb::str(""), "The value, for a text event a piece of text")
        .build();
    pyhost::set_all(m, {"Event"});
}

}  // namespace vadrel_core
