// `vadrel_inference.schema`: the data models of model calls (ModelId, MessageRole, Message, TokenUsage,
// LMOutput, DMOutput, ...).
#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

pyhost::Global ModelId;
pyhost::Global MessageRole;
pyhost::Global Message;
pyhost::Global TokenUsage;
pyhost::Global LMOutput;
pyhost::Global VeskAnswer;
pyhost::Global DMOutput;

void init_schema(nb::module_ m) {
    nb::object any = pyhost::import_from("typing", "Any");
    nb::handle str_type = &PyUnicode_Type;
    nb::handle int_type = &PyLong_Type;
    nb::object none = nb::none();
    nb::object config_dict = pyhost::import_from("pydantic", "ConfigDict");

    ModelId.set(
        pyhost::ClassBuilder::model(m, "ModelId", "A model identifier: the provider and the model's name there.")
            .attr("model_config", config_dict(nb::arg("frozen") = true))
            .field("provider", str_type, "Provider, which picks the service, e.g. 'openai'")
            .field("name", str_type, "Model name at the provider; may itself contain '/'")
            .classmethod(
                "from_string",
                [](nb::handle cls, nb::str text) {
                    // Only the first '/' separates: "openrouter/brevano/olk-1.13" names "brevano/olk-1.13".
                    // Read as Python text, so that any text (lone surrogates too) is split, not converted.
                    Py_ssize_t size = PyUnicode_GetLength(text.ptr());
                    Py_ssize_t slash = PyUnicode_FindChar(text.ptr(), '/', 0, size, 1);  // -1: none
                    if (slash == -2) throw nb::python_error();
                    if (slash <= 0 || slash + 1 == size) {
                        pyhost::raise(PyExc_ValueError, "Invalid model id '%U': expected '<provider>/<model name>'",
                                      text.ptr());
                    }
                    return cls(nb::arg("provider") = pyhost::owned(PyUnicode_Substring(text.ptr(), 0, slash)),
                               nb::arg("name") = pyhost::owned(PyUnicode_Substring(text.ptr(), slash + 1, size)));
                },
                nb::arg("text"), "Parse '<provider>/<model name>'.")
            .method(
                "__str__", [](nb::handle self) { return nb::str("{}/{}").format(self.attr("provider"), self.attr("name")); })
            .build());

    MessageRole.set(pyhost::make_str_enum(m, "MessageRole", "Author of a chat message.",
                                          {{"SYSTEM", "system"}, {"USER", "user"}, {"ASSISTANT", "assistant"}}));

    Message.set(pyhost::ClassBuilder::model(m, "Message", "One chat message: its author and its contents.")
                    .field("role", MessageRole.get(), "Author of the message")
                    .field("contents", nb::object(nb::borrow(nb::handle(&PyList_Type))[any]), "Parts of the message; texts are joined")
                    .build());

    TokenUsage.set(pyhost::ClassBuilder::model(m, "TokenUsage", "Tokens that one model call consumed and produced.")
                       .field("input_tokens", int_type, nb::int_(0), "Prompt tokens")
                       .field("output_tokens", int_type, nb::int_(0), "Completion tokens")
                       .build());

    LMOutput.set(pyhost::ClassBuilder::model(m, "LMOutput", "What a language-model call answered.")
                     .field("text", str_type, nb::str(""), "The response text")
                     .field("structured_output", any, none, "Parsed structured answer, when a response schema is set")
                     .field("token_usage", pyhost::optional(TokenUsage.get()), none, "Token usage, when reported")
                     .build());

    pyhost::ClassBuilder::model(m, "DMQuestion", "A question put to a decision model.")
        .field("answer_type", str_type, nb::str("vesk"), "Kind of answer asked for; 'vesk' is a yes probability")
        .field("instructions", str_type, "What to decide")
        .field("criteria", pyhost::optional(nb::object(nb::borrow(nb::handle(&PyDict_Type))[nb::make_tuple(str_type, str_type)])), none,
               "What makes the answer true and/or false, keyed 'true' and 'false'")
        .classmethod(
            "vesk",
            [](nb::handle cls, nb::handle instructions, nb::handle criteria) {
                return cls(nb::arg("answer_type") = "vesk", nb::arg("instructions") = instructions,
                           nb::arg("criteria") = criteria);
            },
            nb::arg("instructions"), nb::arg("criteria").none(),
            "A yes/no question answered with the probability of yes.")
        .build();

    // The score is kept as given: whoever reads it decides what counts as a probability.
    VeskAnswer.set(pyhost::ClassBuilder::model(m, "VeskAnswer", "Answer to a yes/no question: the probability of yes.")
                       .field("vesk", any, "Probability from 0.0 to 1.0")
                       .build());

    DMOutput.set(pyhost::ClassBuilder::model(m, "DMOutput", "What a decision-model call answered.")
                     .field("answers", nb::object(nb::borrow(nb::handle(&PyDict_Type))[nb::make_tuple(str_type, any)]),
                            "Answer per question name")
                     .field("token_usage", pyhost::optional(TokenUsage.get()), none, "Token usage, when reported")
                     .build());

    pyhost::set_all(m, {"DMOutput", "DMQuestion", "LMOutput", "Message", "MessageRole", "ModelId", "TokenUsage",
                        "VeskAnswer"});
}

}  // namespace vadrel_inference
