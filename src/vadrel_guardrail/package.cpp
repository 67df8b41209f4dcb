// The extension module `vadrel_guardrail`: the package tree and the top-level surface.
#include "pyhost/frame.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {
namespace {

constexpr pyhost::ModuleDef kModules[] = {
    {"vadrel_guardrail", "A package to handle the guardrail of the text.", true, init_package},
    {"vadrel_guardrail.constants", "Modes, keys and defaults shared by the guardrail components.", false,
     init_constants},
    {"vadrel_guardrail.engine", "Engine for guardrail components.", true, init_engine},
    {"vadrel_guardrail.engine.base_engine",
     "Base protocol for guardrail engines.", false, init_base_engine},
    {"vadrel_guardrail.schema", "Schema for guardrail components.", true, init_schema},
    {"vadrel_guardrail.schema.guardrail_input", "Guardrail input data model.", false, init_guardrail_input},
    {"vadrel_guardrail.schema.guardrail_result", "Result of a guardrail content safety check.", false,
     init_guardrail_result},
    {"vadrel_guardrail.schema.guardrail_stream_chunk", "A single item emitted by a streaming guardrail pipeline.",
     false, init_guardrail_stream_chunk},
    {"vadrel_guardrail.engine.dm_engine", "Guardrail engine backed by a decision model and named policies.", false,
     init_dm_engine},
    {"vadrel_guardrail.engine.nemo_engine", "Guardrail engine driving NVIDIA NeMo Guardrails.", false,
     init_nemo_engine},
    {"vadrel_guardrail.adapter", "Adapter for guardrail components.", true, init_adapter},
    {"vadrel_guardrail.adapter.nemo_adapter", "Presents language-model invokers to NeMo Guardrails as its model.",
     false, init_nemo_adapter},
    {"vadrel_guardrail.config", "Package data: policies, safety defaults and the NeMo base configuration.", true,
     nullptr},
    {"vadrel_guardrail.config.safety", "Safety configuration builders.", true, init_config_safety},
    {"vadrel_guardrail.config.safety.base", "Safety items and the builder base.", false, init_safety_base},
    {"vadrel_guardrail.config.safety.content", "Content-safety configuration builder.", false,
     init_safety_content},
    {"vadrel_guardrail.config_loader", "Loads YAML files of the package's data directory.", false,
     init_config_loader},
    {"vadrel_guardrail.config.safety.topic", "Topic-safety configuration builder.", false, init_safety_topic},
    {"vadrel_guardrail.engine.phrase_matcher_engine", "Guardrail engine matching banned phrases.", false,
     init_phrase_matcher_engine},
    {"vadrel_guardrail.guardrail_manager", "Manage content guardrails using pluggable guardrail engines.", false,
     init_guardrail_manager},
};

}  // namespace

void init_package(nb::module_ m) {
    pyhost::reexport(m, "vadrel_guardrail.constants", {"GuardrailMode"});
    pyhost::reexport(m, "vadrel_guardrail.engine", {"DMGuardrailEngine", "NemoGuardrailEngine", "PhraseMatcherEngine"});
    pyhost::reexport(m, "vadrel_guardrail.engine.base_engine", {"BaseGuardrailEngineConfig", "GuardrailEngine"});
    pyhost::reexport(m, "vadrel_guardrail.engine.dm_engine", {"DMGuardrailEngineConfig"});
    pyhost::reexport(m, "vadrel_guardrail.guardrail_manager", {"GuardrailManager"});
    pyhost::reexport(m, "vadrel_guardrail.schema", {"GuardrailInput", "GuardrailResult"});
    pyhost::set_all(m, {"BaseGuardrailEngineConfig", "DMGuardrailEngine", "DMGuardrailEngineConfig", "GuardrailEngine",
                        "GuardrailInput", "GuardrailManager", "GuardrailMode", "GuardrailResult",
                        "NemoGuardrailEngine", "PhraseMatcherEngine"});
}

}  // namespace vadrel_guardrail

// The module needs the GIL: built without nanobind's FREE_THREADED option, it declares no Py_mod_gil slot,
// which is Py_MOD_GIL_USED (CMakeLists.txt refuses a free-threaded interpreter).
NB_MODULE(vadrel_guardrail, m) {
    pyhost::install_package(m, vadrel_guardrail::kModules);
}

#if defined(VADREL_BUILD_TESTING)
#include "pyhost/unchanged.hpp"

// For the tests: whether the fast path behind the class set named `name` holds (1), does not (0), or no set
// has that name (-1).
extern "C" [[gnu::visibility("default")]] int vadrel_fast_path_holds(const char *name) {
    const pyhost::Unchanged *set = pyhost::Unchanged::named(name);
    return set ? (set->holds() ? 1 : 0) : -1;
}
#endif
