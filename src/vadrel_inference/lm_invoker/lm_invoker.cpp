// `vadrel_inference.lm_invoker.lm_invoker`: BaseLMInvoker, the abstract language-model invoker, and the
// package's public names.
#include "pyhost/frame.hpp"
#include "vadrel_core/abstract_method.hpp"
#include "vadrel_inference/closing.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

void init_lm_invoker_base(nb::module_ m) {
    pyhost::ClassBuilder builder(m, "BaseLMInvoker", "Calls one language model; subclasses say how.");
    closable(builder.base(pyhost::import_from("abc", "ABC")))
        .method(
            "__init__",
            [](nb::handle self, nb::handle model_id, nb::handle response_schema) {
                nb::setattr(self, "model_id", model_id);
                nb::setattr(self, "response_schema", response_schema);
            },
            nb::arg("model_id"), nb::arg("response_schema").none())
        .attr("invoke",
              vadrel_abstract::abstract_method(
                  m, "BaseLMInvoker", "invoke",
                  "invoke(messages, hyperparameters=None, event_emitter=None) (asynchronous): call the model and "
                  "return an LMOutput or text; with an emitter, emit each piece of response text first.",
                  nb::arg("messages"), nb::arg("hyperparameters").none(),
                  nb::arg("event_emitter").none()))
        .method("__repr__", [](nb::handle self) {
            return nb::str("{}(model_id={!r})").format(self.type().attr("__name__"), self.attr("model_id"));
        })
        .build();
    pyhost::set_all(m, {"BaseLMInvoker"});
}

void init_lm_invoker(nb::module_ m) {
    pyhost::reexport(m, "vadrel_inference.lm_invoker.lm_invoker", {"BaseLMInvoker"});
    pyhost::reexport(m, "vadrel_inference.lm_invoker.openai_compatible_lm_invoker", {"OpenAICompatibleLMInvoker"});
    pyhost::reexport(m, "vadrel_inference.builder", {"build_lm_invoker"});
    pyhost::set_all(m, {"BaseLMInvoker", "OpenAICompatibleLMInvoker", "build_lm_invoker"});
}

}  // namespace vadrel_inference
