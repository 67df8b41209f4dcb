// `vadrel_inference.component`: DMComponent, a component that decides through a decision-model invoker.
#include "pyasync/pyasync.hpp"
#include "pyhost/frame.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {
namespace {

pyasync::Task invoke_dm(nb::object self, nb::object state, nb::object questions, nb::object hyperparameters,
                        nb::object trace_attributes) {
    co_return co_await self.attr("dm_invoker").attr("invoke")(
        nb::arg("state") = state, nb::arg("questions") = questions, nb::arg("hyperparameters") = hyperparameters,
        nb::arg("trace_attributes") = trace_attributes);
}

}  // namespace

void init_component(nb::module_ m) {
    pyhost::ClassBuilder(m, "DMComponent", "A component that decides through a decision-model invoker.")
        .base(pyhost::import_from("vadrel_core.schema", "Component"))
        .method(
            "__init__",
            // Subclasses take the engine configuration themselves; the base only keeps the invoker.
            [](nb::handle self, nb::handle dm_invoker, nb::handle) { nb::setattr(self, "dm_invoker", dm_invoker); },
            nb::arg("dm_invoker"), nb::arg("engine_config").none())
        .classmethod(
            "from_config",
            [](nb::handle cls, nb::handle model_id, nb::handle engine_config, nb::handle credentials,
               nb::handle config) {
                nb::object invoker = pyhost::import_from("vadrel_inference.builder", "build_dm_invoker")(
                    nb::arg("model_id") = model_id, nb::arg("credentials") = credentials,
                    nb::arg("config") = config);
                return cls(nb::arg("dm_invoker") = invoker, nb::arg("engine_config") = engine_config);
            },
            nb::arg("model_id"), nb::arg("engine_config").none(),
            nb::arg("credentials").none(), nb::arg("config").none(),
            "Build the decision-model invoker for `model_id` and the component around it.")
        .method(
            "_invoke_dm",
            [](nb::handle self, nb::handle state, nb::handle questions, nb::handle hyperparameters,
               nb::handle trace_attributes) {
                return invoke_dm(nb::borrow(self), nb::borrow(state), nb::borrow(questions),
                                 nb::borrow(hyperparameters), nb::borrow(trace_attributes))
                    .named("_invoke_dm", "DMComponent._invoke_dm")
                    .to_python();
            },
            nb::arg("state"), nb::arg("questions"), nb::arg("hyperparameters").none() = nb::none(),
            nb::arg("trace_attributes").none() = nb::none(),
            "Ask the decision model all questions in one call through the kept invoker (asynchronous).")
        .build();
    pyhost::set_all(m, {"DMComponent"});
}

}  // namespace vadrel_inference
