// The extension module `vadrel_inference`: the package tree and the top-level surface.
#include "pyhost/frame.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {
namespace {

constexpr pyhost::ModuleDef kModules[] = {
    {"vadrel_inference",
     "Stand-in for the maker's vadrel_inference library: model invokers over OpenAI-compatible services.", true,
     init_package},
    {"vadrel_inference.exceptions", "Invoker errors.", false, init_exceptions},
    {"vadrel_inference.schema", "Model identifiers, messages, outputs, decision questions and answers.", false,
     init_schema},
    {"vadrel_inference.lm_invoker", "Language-model invokers.", true, init_lm_invoker},
    {"vadrel_inference.lm_invoker.lm_invoker", "The language-model invoker base.", false, init_lm_invoker_base},
    {"vadrel_inference.lm_invoker.openai_compatible_lm_invoker",
     "Invoker for OpenAI-compatible chat-completions services.", false, init_openai_compatible},
    {"vadrel_inference.dm_invoker", "Decision-model invokers.", true, init_dm_invoker},
    {"vadrel_inference.dm_invoker.dm_invoker", "The decision-model invoker base.", false, init_dm_invoker_base},
    {"vadrel_inference.dm_invoker.lm_based_dm_invoker",
     "Decision-model invoker that asks a language model for one probability per question.", false,
     init_lm_based_dm_invoker},
    {"vadrel_inference.builder", "Invoker builders.", false, init_builder},
    {"vadrel_inference.component", "The decision-model component.", false, init_component},
};

}  // namespace

void init_package(nb::module_ m) {
    pyhost::reexport(m, "vadrel_inference.exceptions", {"BaseInvokerError", "InvokerRuntimeError"});
    pyhost::reexport(m, "vadrel_inference.schema", {"ModelId"});
    pyhost::reexport(m, "vadrel_inference.lm_invoker", {"BaseLMInvoker", "build_lm_invoker"});
    pyhost::reexport(m, "vadrel_inference.dm_invoker", {"BaseDMInvoker", "build_dm_invoker"});
    pyhost::reexport(m, "vadrel_inference.component", {"DMComponent"});
    pyhost::set_all(m, {"BaseDMInvoker", "BaseInvokerError", "BaseLMInvoker", "DMComponent", "InvokerRuntimeError",
                        "ModelId", "build_dm_invoker", "build_lm_invoker"});
}

}  // namespace vadrel_inference

// The module needs the GIL: built without nanobind's FREE_THREADED option, it declares no Py_mod_gil slot,
// which is Py_MOD_GIL_USED (CMakeLists.txt refuses a free-threaded interpreter).
NB_MODULE(vadrel_inference, m) {
    pyhost::install_package(m, vadrel_inference::kModules);
}
