// `vadrel_guardrail.schema.guardrail_input`: GuardrailInput, the input/output pair a check can take.
#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail {

pyhost::Global schema::GuardrailInput;

namespace {
pyhost::TrustedModel trusted;
pyhost::Global both_fields;  // {"input", "output"}
}  // namespace

nb::object schema::input_record(nb::handle text) {
    if (!PyUnicode_CheckExact(text.ptr())) {
        return GuardrailInput(nb::arg("input") = text, nb::arg("output") = nb::none());
    }
    return trusted.make({text, Py_None}, both_fields.get());
}

void init_guardrail_input(nb::module_ m) {
    nb::object text_or_none = pyhost::optional(&PyUnicode_Type);
    schema::GuardrailInput.set(
        pyhost::ClassBuilder::model(m, "GuardrailInput", "Guardrail input data model.")
            .field("input", text_or_none, nb::none(), "Input content to check (user queries, prompts, context)")
            .field("output", text_or_none, nb::none(), "Output content to check (LLM responses, generated text)")
            .classmethod(
                "from_dict",
                [](nb::handle cls, nb::handle data) {
                    nb::object get = data.attr("get");
                    return cls(nb::arg("input") = get("input", nb::none()),
                               nb::arg("output") = get("output", nb::none()));
                },
                nb::arg("data"), "Create from dictionary format for backward compatibility.")
            .build());
    trusted.init(schema::GuardrailInput.get(), {"input", "output"});
    both_fields.set(trusted.names({"input", "output"}));
}

}  // namespace vadrel_guardrail
