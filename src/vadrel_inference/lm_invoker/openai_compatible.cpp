#include "pyhost/frame.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

pyhost::Global OpenAICompatibleLMInvoker;

void init_openai_compatible(nb::module_ m) {
    OpenAICompatibleLMInvoker.set(
        pyhost::ClassBuilder(m, "OpenAICompatibleLMInvoker", "Invoker for an OpenAI-compatible chat-completions service.")
            .base(pyhost::import_from("vadrel_inference.lm_invoker.lm_invoker", "BaseLMInvoker"))
            .method(
                "__init__",
                [](nb::handle self, nb::handle model_id, nb::handle base_url, nb::handle api_key, nb::handle timeout,
                   nb::handle default_hyperparameters, nb::handle response_schema) {
                    nb::object base = pyhost::import_from("vadrel_inference.lm_invoker.lm_invoker", "BaseLMInvoker");
                    base.attr("__init__")(self, model_id, response_schema);
                    nb::object id = nb::isinstance<nb::str>(model_id) ? ModelId.attr("from_string")(model_id)
                                                                      : nb::borrow(model_id);
                    nb::setattr(self, "model_name", id.attr("name"));
                    nb::setattr(self, "base_url", base_url);
                    nb::setattr(self, "timeout", timeout);
                    nb::setattr(self, "default_hyperparameters",
                                default_hyperparameters.is_none() ? nb::object(nb::dict()) : nb::object(nb::handle(&PyDict_Type)(default_hyperparameters)));
                    nb::setattr(self, "_api_key", api_key);
                },
                nb::arg("model_id"), nb::arg("base_url"), nb::arg("api_key"), nb::arg("timeout") = 60.0,
                nb::arg("default_hyperparameters").none() = nb::none(),
                nb::arg("response_schema").none() = nb::none())
            .build());
    pyhost::set_all(m, {"OpenAICompatibleLMInvoker"});
}

}  // namespace vadrel_inference
