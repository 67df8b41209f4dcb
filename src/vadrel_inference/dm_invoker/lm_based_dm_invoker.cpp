#include "pyhost/frame.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

pyhost::Global LMBasedDMInvoker;

void init_lm_based_dm_invoker(nb::module_ m) {
    nb::object base = pyhost::import_from("vadrel_inference.dm_invoker.dm_invoker", "BaseDMInvoker");
    LMBasedDMInvoker.set(
        pyhost::ClassBuilder(m, "LMBasedDMInvoker",
                             "Decision-model invoker that asks a language model all questions at once and reads "
                             "one probability per question from its JSON answer.")
            .base(base)
            .method(
                "__init__",
                [base](nb::handle self, nb::handle lm_invoker) {
                    base.attr("__init__")(self, lm_invoker.attr("model_id"));
                    nb::setattr(self, "lm_invoker", lm_invoker);
                },
                nb::arg("lm_invoker"))
            .build());
    pyhost::set_all(m, {"LMBasedDMInvoker"});
}

}  // namespace vadrel_inference
