#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail {

pyhost::Global schema::GuardrailInput;

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
}

}  // namespace vadrel_guardrail
