// `vadrel_inference.builder`: build_lm_invoker and build_dm_invoker, from a "provider/name" model id, the
// credentials (or the provider's environment variable) and the invoker's settings.
#include <cctype>
#include <string>

#include <nanobind/stl/string.h>

#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_inference/lm_invoker/chat_wire.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {
namespace {

struct ProviderDefault {
    const char *provider;
    const char *base_url;
};

constexpr ProviderDefault kDefaultBaseUrls[] = {
    {"openai", "https://api.openai.com/v1"},
    {"openrouter", "https://openrouter.ai/api/v1"},
};

constexpr double kDefaultTimeoutSeconds = 60.0;
constexpr int kDefaultMaxConnections = 100;
constexpr int kDefaultMaxRetries = 2;

// "openrouter" -> "OPENROUTER_API_KEY"; characters a variable name cannot hold become '_'.
std::string credentials_variable(const std::string &provider) {
    std::string out;
    for (char c : provider) {
        out += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                                                           : '_';
    }
    return out + "_API_KEY";
}

nb::object parse_model_id(nb::handle model_id) {
    if (nb::isinstance(model_id, ModelId.get())) {
        return nb::borrow(model_id);
    }
    if (nb::isinstance<nb::str>(model_id)) {
        return ModelId.attr("from_string")(model_id);
    }
    pyhost::raise(PyExc_TypeError, "model_id must be text '<provider>/<model name>' or a ModelId");
}

std::string resolve_api_key(const std::string &provider, nb::handle credentials) {
    if (credentials.is_none()) {
        // Read when the invoker is built, so a missing key fails the build and names the variable.
        std::string variable = credentials_variable(provider);
        nb::object value = nb::module_::import_("os").attr("environ").attr("get")(variable);
        if (value.is_none() || nb::len(value) == 0) {
            pyhost::raise(PyExc_ValueError,
                          "No credentials for provider '%s': pass `credentials` or set the environment variable %s",
                          provider.c_str(), variable.c_str());
        }
        return nb::cast<std::string>(value);
    }
    if (nb::isinstance<nb::str>(credentials)) {
        return nb::cast<std::string>(credentials);
    }
    if (nb::hasattr(credentials, "get")) {
        nb::object key = credentials.attr("get")("api_key");
        if (nb::isinstance<nb::str>(key)) {
            return nb::cast<std::string>(key);
        }
    }
    pyhost::raise(PyExc_TypeError, "credentials must be the API key text or a mapping with the key 'api_key'");
}

// An invoker for the OpenAI-compatible chat-completions service that the model id and config name.
nb::object build_lm(nb::handle model_id, nb::handle credentials, nb::handle config) {
    nb::module_::import_("vadrel_inference.lm_invoker.openai_compatible_lm_invoker");
    nb::object id = parse_model_id(model_id);
    std::string provider = nb::cast<std::string>(id.attr("provider"));

    nb::object base_url = nb::none();
    nb::object timeout = nb::float_(kDefaultTimeoutSeconds);
    nb::object max_connections = nb::int_(kDefaultMaxConnections);
    nb::object max_retries = nb::int_(kDefaultMaxRetries);
    nb::object max_answer_bytes = nb::int_(chat_wire::kDefaultMaxAnswerBytes);
    nb::object response_schema = nb::none();
    nb::dict hyperparameters;
    if (!config.is_none()) {
        if (!nb::hasattr(config, "items")) {
            pyhost::raise(PyExc_TypeError, "config must be a mapping");
        }
        // Keys other than the invoker's own settings are default hyperparameters of every call.
        for (nb::handle item : config.attr("items")()) {
            nb::object key = item[0];
            nb::object value = item[1];
            std::string name = nb::cast<std::string>(nb::str(key));
            if (name == "base_url") {
                base_url = value;
            } else if (name == "timeout") {
                timeout = value;
            } else if (name == "max_connections") {
                max_connections = value;
            } else if (name == "max_retries") {
                max_retries = value;
            } else if (name == "max_answer_bytes") {
                max_answer_bytes = value;
            } else if (name == "response_schema") {
                response_schema = value;
            } else if (name == "hyperparameters" || name == "default_hyperparameters") {
                if (!value.is_none()) {
                    hyperparameters.update(value);
                }
            } else {
                hyperparameters[key] = value;
            }
        }
    }
    if (base_url.is_none()) {
        for (const auto &known : kDefaultBaseUrls) {
            if (provider == known.provider) {
                base_url = nb::str(known.base_url);
            }
        }
        if (base_url.is_none()) {
            pyhost::raise(PyExc_ValueError, "No default base URL for provider '%s': give one as config['base_url']",
                          provider.c_str());
        }
    }
    std::string api_key = resolve_api_key(provider, credentials);
    return OpenAICompatibleLMInvoker(nb::arg("model_id") = model_id, nb::arg("base_url") = base_url,
                                     nb::arg("api_key") = api_key, nb::arg("timeout") = timeout,
                                     nb::arg("default_hyperparameters") = hyperparameters,
                                     nb::arg("response_schema") = response_schema,
                                     nb::arg("max_connections") = max_connections,
                                     nb::arg("max_retries") = max_retries,
                                     nb::arg("max_answer_bytes") = max_answer_bytes);
}

}  // namespace

void init_builder(nb::module_ m) {
    // The invoker classes are imported at the first build: their packages import this module.
    m.def("build_lm_invoker", &build_lm, nb::arg("model_id"), nb::arg("credentials").none() = nb::none(),
          nb::arg("config").none() = nb::none(),
          "Build an invoker for an OpenAI-compatible chat-completions service.\n\n"
          "The model id is '<provider>/<model name>' or a ModelId; the provider picks the default base URL "
          "('openai', 'openrouter'). `credentials` is the API key (or a mapping with 'api_key'); without it the "
          "key is read now from the environment variable <PROVIDER>_API_KEY. `config` may give 'base_url', "
          "'timeout' (seconds for the whole call, retries included; default 60), 'max_connections' (open at once; "
          "default 100), 'max_retries' (of connection failures and the statuses 408, 409, 429 and 5xx; default "
          "2), 'max_answer_bytes' (the most an answer may hold, decompressed; default 8 MiB), 'response_schema' and "
          "'hyperparameters'; its other keys are default hyperparameters too. Bad "
          "settings raise ValueError or TypeError here.");
    m.def(
        "build_dm_invoker",
        [](nb::handle model_id, nb::handle credentials, nb::handle config) {
            nb::module_::import_("vadrel_inference.dm_invoker.lm_based_dm_invoker");
            return LMBasedDMInvoker(nb::arg("lm_invoker") = build_lm(model_id, credentials, config));
        },
        nb::arg("model_id"), nb::arg("credentials").none() = nb::none(), nb::arg("config").none() = nb::none(),
        "Build a decision-model invoker that asks all questions in one chat-completions call; arguments as for "
        "build_lm_invoker.");
    pyhost::set_all(m, {"build_dm_invoker", "build_lm_invoker"});
}

}  // namespace vadrel_inference
