// The extension module `vadrel_core`: the package tree and the top-level surface.
#include "pyhost/frame.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {
namespace {

constexpr pyhost::ModuleDef kModules[] = {
    {"vadrel_core", "Stand-in for the maker's vadrel_core library: components, logging, events.", true,
     init_package},
    {"vadrel_core.constants", "Event kinds and event value kinds.", false, init_constants},
    {"vadrel_core.schema", "Component base and event record.", true, init_schema},
    {"vadrel_core.schema.component", "The component base: an asynchronous entry point over `_run`.", false,
     init_schema_component},
    {"vadrel_core.schema.event", "The event record that invokers emit.", false, init_schema_event},
    {"vadrel_core.utils", "Logger access and enumeration validation.", false, init_utils},
    {"vadrel_core.logging", "Logger access.", false, init_logging},
    {"vadrel_core.event", "Event emission to a list of handlers.", true, init_event},
    {"vadrel_core.event.event_emitter", "The event emitter.", false, init_event_emitter},
    {"vadrel_core.event.handler", "Event handlers.", true, init_event_handler},
    {"vadrel_core.event.handler.event_handler", "The event handler base.", false, init_event_handler_base},
};

}  // namespace

void init_package(nb::module_ m) {
    pyhost::reexport(m, "vadrel_core.schema", {"Component", "Event"});
    pyhost::reexport(m, "vadrel_core.utils", {"LoggerManager", "validate_enum"});
    pyhost::reexport(m, "vadrel_core.event", {"EventEmitter"});
    pyhost::set_all(m, {"Component", "Event", "EventEmitter", "LoggerManager", "validate_enum"});
}

}  // namespace vadrel_core

// The module needs the GIL: built without nanobind's FREE_THREADED option, it declares no Py_mod_gil slot,
// which is Py_MOD_GIL_USED (CMakeLists.txt refuses a free-threaded interpreter).
NB_MODULE(vadrel_core, m) {
    pyhost::install_package(m, vadrel_core::kModules);
}
