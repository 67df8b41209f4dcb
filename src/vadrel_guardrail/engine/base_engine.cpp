#include "vadrel_guardrail/engine/base_engine.hpp"

#include "pyhost/frame.hpp"
#include "vadrel_guardrail/constants.hpp"
#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail {

namespace base_engine {
pyhost::Global BaseGuardrailEngineConfig;
pyhost::Global GuardrailEngine;
pyhost::Global StreamingGuardrailEngine;
pyhost::Global GuardrailStreamValidationError;
pyhost::Global GuardrailStreamBufferLimitError;
pyhost::Global FullStreamGuardrailAdapter;

void raise_buffer_limit(const char *limit_kind, nb::handle configured_limit, nb::handle attempted) {
    nb::object error = GuardrailStreamBufferLimitError(limit_kind, configured_limit, attempted);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}
}  // namespace base_engine

namespace {

using namespace base_engine;

nb::object runtime_checkable_protocol(pyhost::ClassBuilder builder) {
    return pyhost::import_from("typing", "runtime_checkable")(builder.build());
}

void define_interfaces(nb::module_ m) {
    nb::object protocol = pyhost::import_from("typing", "Protocol");
    nb::object any = pyhost::import_from("typing", "Any");

    BaseGuardrailEngineConfig.set(
        pyhost::ClassBuilder::model(m, "BaseGuardrailEngineConfig", "Base configuration for guardrail engines.")
            .attr("model_config", pyhost::import_from("pydantic", "ConfigDict")(nb::arg("arbitrary_types_allowed") = true))
            .field("guardrail_mode", constants::GuardrailMode.get(), constants::GuardrailMode.attr("INPUT_ONLY"),
                   nullptr)
            .build());
    // The Protocol's own operations have no behaviour; they exist for the structural test.
    GuardrailEngine.set(runtime_checkable_protocol(
        pyhost::ClassBuilder(m, "GuardrailEngine",
                             "Protocol for guardrail engines.\n\n"
                             "This protocol defines the contract that all guardrail engines must implement.")
            .base(protocol)
            .annotate("config", BaseGuardrailEngineConfig.get())
            .method("check_input", [](nb::handle, nb::handle, nb::kwargs) { return nb::none(); }, nb::arg("content"),
                    nb::arg("kwargs"), "Check user input before it is sent to a language model.")
            .method("check_output", [](nb::handle, nb::handle, nb::kwargs) { return nb::none(); }, nb::arg("content"),
                    nb::arg("kwargs"), "Check system output before it is shown to users.")));

    nb::handle value_error = PyExc_ValueError;
    GuardrailStreamValidationError.set(
        pyhost::ClassBuilder(m, "GuardrailStreamValidationError",
                             "Raised when a stream chunk fails validation (e.g. not a string).")
            .base(value_error)
            .method(
                "__init__",
                [value_error](nb::handle self, nb::handle message) {
                    value_error.attr("__init__")(self, message);
                },
                nb::arg("message").none())
            .build());

    nb::handle exception = PyExc_Exception;
    GuardrailStreamBufferLimitError.set(
        pyhost::ClassBuilder(m, "GuardrailStreamBufferLimitError",
                             "Raised when a strict stream segment exceeds its configured buffer limits.")
            .base(exception)
            .method(
                "__init__",
                [exception](nb::handle self, nb::handle limit_kind, nb::handle configured_limit, nb::handle attempted) {
                    nb::setattr(self, "limit_kind", limit_kind);
                    nb::setattr(self, "configured_limit", configured_limit);
                    nb::setattr(self, "attempted", attempted);
                    nb::str message = nb::str("Strict stream buffer {} limit exceeded: configured={}, attempted={}.")
                                          .format(limit_kind, configured_limit, attempted);
                    exception.attr("__init__")(self, message);
                },
                nb::arg("limit_kind").none(), nb::arg("configured_limit").none(), nb::arg("attempted").none())
            .build());

    StreamingGuardrailEngine.set(runtime_checkable_protocol(
        pyhost::ClassBuilder(m, "StreamingGuardrailEngine", "Optional protocol for engines that check streams natively.")
            .base(protocol)
            .method("check_input_stream", [](nb::handle, nb::handle, nb::kwargs) { return nb::none(); },
                    nb::arg("chunks"), nb::arg("kwargs"), "Check an input stream incrementally or as a strict full-stream check.")
            .method("check_output_stream", [](nb::handle, nb::handle, nb::kwargs) { return nb::none(); },
                    nb::arg("chunks"), nb::arg("kwargs"),
                    "Check an output stream incrementally or as a strict full-stream check.")));
    (void)any;
}

}  // namespace

void init_base_engine(nb::module_ m) {
    nb::module_::import_("vadrel_guardrail.schema");
    define_interfaces(m);
}

}  // namespace vadrel_guardrail
