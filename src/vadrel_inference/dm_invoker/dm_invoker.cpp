// `vadrel_inference.dm_invoker.dm_invoker`: BaseDMInvoker, the abstract decision-model invoker, and the
// package's public names.
#include "pyhost/frame.hpp"
#include "vadrel_core/abstract_method.hpp"
#include "vadrel_inference/closing.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

void init_dm_invoker_base(nb::module_ m) {
    pyhost::ClassBuilder builder(m, "BaseDMInvoker", "Asks a decision model questions about a state; subclasses say how.");
    closable(builder.base(pyhost::import_from("abc", "ABC")))
        .method(
            "__init__", [](nb::handle self, nb::handle model_id) { nb::setattr(self, "model_id", model_id); },
            nb::arg("model_id"))
        .attr("invoke", vadrel_abstract::abstract_method(
                            m, "BaseDMInvoker", "invoke",
                            "invoke(state, questions, hyperparameters=None, trace_attributes=None) (asynchronous): "
                            "answer every question in one call and return a DMOutput.",
                            nb::arg("state"), nb::arg("questions"), nb::arg("hyperparameters").none(),
                            nb::arg("trace_attributes").none()))
        .method("__repr__", [](nb::handle self) {
            return nb::str("{}(model_id={!r})").format(self.type().attr("__name__"), self.attr("model_id"));
        })
        .build();
    pyhost::set_all(m, {"BaseDMInvoker"});
}

void init_dm_invoker(nb::module_ m) {
    pyhost::reexport(m, "vadrel_inference.dm_invoker.dm_invoker", {"BaseDMInvoker"});
    pyhost::reexport(m, "vadrel_inference.dm_invoker.lm_based_dm_invoker", {"LMBasedDMInvoker"});
    pyhost::reexport(m, "vadrel_inference.builder", {"build_dm_invoker"});
    pyhost::set_all(m, {"BaseDMInvoker", "LMBasedDMInvoker", "build_dm_invoker"});
}

}  // namespace vadrel_inference
