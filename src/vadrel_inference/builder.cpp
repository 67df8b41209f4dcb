// `vadrel_inference.builder`: build_lm_invoker and build_dm_invoker, from a "provider/name" model id, the
// credentials (or the provider's environment variable) and the invoker's settings.
#include <cctype>
#include <string>

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

// "openrouter" -> "OPENROUTER_API_KEY": ASCII letters and digits upper-cased, every other character one '_'
// for each byte of its UTF-8 form. Read from the text itself: a provider may hold what UTF-8 cannot encode.
nb::str credentials_variable(nb::handle provider) {
    PyObject *p = provider.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(p);
    const int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    std::string out;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80 && std::isalnum(static_cast<int>(c))) {
            out += static_cast<char>(std::toupper(static_cast<int>(c)));
        } else {
            out.append(c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4, '_');
        }
    }
    out += "_API_KEY";
    return nb::str(out.data(), out.size());
}

// `str(value)`.
nb::str text_of(nb::handle value) {
    return nb::borrow<nb::str>(pyhost::owned(PyObject_Str(value.ptr())));
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

// The key as the caller gave it: the invoker checks it, as text.
nb::object resolve_api_key(nb::handle provider, nb::handle credentials) {
    if (credentials.is_none()) {
        // Read when the invoker is built, so a missing key fails the build and names the variable.
        nb::str variable = credentials_variable(provider);
        nb::object value = nb::module_::import_("os").attr("environ").attr("get")(variable);
        if (value.is_none() || nb::len(value) == 0) {
            pyhost::raise(PyExc_ValueError,
                          "No credentials for provider '%U': pass `credentials` or set the environment variable %U",
                          provider.ptr(), variable.ptr());
        }
        return value;
    }
    if (nb::isinstance<nb::str>(credentials)) {
        return nb::borrow(credentials);
    }
    if (nb::hasattr(credentials, "get")) {
        nb::object key = credentials.attr("get")("api_key");
        if (nb::isinstance<nb::str>(key)) {
            return key;
        }
    }
    pyhost::raise(PyExc_TypeError, "credentials must be the API key text or a mapping with the key 'api_key'");
}

// An invoker for the OpenAI-compatible chat-completions service that the model id and config name.
nb::object build_lm(nb::handle model_id, nb::handle credentials, nb::handle config) {
    nb::module_::import_("vadrel_inference.lm_invoker.openai_compatible_lm_invoker");
    nb::object id = parse_model_id(model_id);
    nb::str provider = text_of(id.attr("provider"));

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
            nb::str name = text_of(key);
            if (name.equal(nb::str("base_url"))) {
                base_url = value;
            } else if (name.equal(nb::str("timeout"))) {
                timeout = value;
            } else if (name.equal(nb::str("max_connections"))) {
                max_connections = value;
            } else if (name.equal(nb::str("max_retries"))) {
                max_retries = value;
            } else if (name.equal(nb::str("max_answer_bytes"))) {
                max_answer_bytes = value;
            } else if (name.equal(nb::str("response_schema"))) {
                response_schema = value;
            } else if (name.equal(nb::str("hyperparameters")) || name.equal(nb::str("default_hyperparameters"))) {
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
            if (provider.equal(nb::str(known.provider))) {
                base_url = nb::str(known.base_url);
            }
        }
        if (base_url.is_none()) {
            pyhost::raise(PyExc_ValueError, "No default base URL for provider '%U': give one as config['base_url']",
                          provider.ptr());
        }
    }
    nb::object api_key = resolve_api_key(provider, credentials);
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
    m.def("build_lm_invoker", &build_lm, nb::arg("model_id"), nb::arg("credentials").none(),
          nb::arg("config").none(),
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
        nb::arg("model_id"), nb::arg("credentials").none(), nb::arg("config").none(),
        "Build a decision-model invoker that asks all questions in one chat-completions call; arguments as for "
        "build_lm_invoker.");
    pyhost::set_all(m, {"build_dm_invoker", "build_lm_invoker"});
}

}  // namespace vadrel_inference
