// The module `vadrel_guardrail.engine.nemo_engine`: `NemoGuardrailEngine`, which answers each check with one run
// of the NeMo Guardrails rails, its configuration `NemoGuardrailEngineConfig`, the provider registration, and the
// bodies of the self-check actions that the NeMo base configuration directory declares (its action modules only
// declare them to NeMo Guardrails and call the private functions defined here).
#include <exception>
#include <string>
#include <utility>

#include "pyasync/pyasync.hpp"
#include "pyhost/classes.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "pyhost/signatures.hpp"
#include "vadrel_guardrail/engine/nemo_answer.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {
namespace {

constexpr const char *kModuleName = "vadrel_guardrail.engine.nemo_engine";
constexpr const char *kSafetyCheckModuleName = "vadrel_guardrail.config.nemo_config.actions._safety_check_utils";
constexpr const char *kProviderName = "vadrel_invoker";
constexpr const char *kFailOpenSuffix = " safety check failed, skipping check (fail open): ";

pyhost::Global module_;
pyhost::Global engine_class;
// The self-check routine's logger, named after the action module that presents the routine.
pyhost::Global safety_logger;
pyhost::Global json_loads;
pyhost::Global json_dumps;
pyhost::Global json_decode_error;
pyhost::Global mapping_abc;
pyhost::Global llm_utils;
pyhost::Global llm_call_info_var;
pyhost::Global explain_info_var;
pyhost::Global LLMCallInfo;
pyhost::Global Task;
pyhost::Global get_running_loop;
pyhost::Global semaphore_class;
pyhost::Global weak_value_dictionary;

// Checks that run the rails at once on one event loop when the judge's invoker names no connection limit.
constexpr long kDefaultConcurrentRuns = 100;

// Module globals are read when used, as a module body's own code would: a caller that rebinds one (`LLMRails`,
// `NeMoLMAdapter`, `logger`, ...) is honoured.
nb::object global(const char *name) {
    return module_.attr(name);
}


// An ordinary error: an Exception, not an interruption, an exit request or a cancellation.
bool ordinary(const nb::python_error &e) {
    return e.matches(PyExc_Exception);
}

// ---------------------------------------------------------------------------------------------------------
// Provider registration.

bool init_guardrails_provider_registration() {
    try {
        global("register_provider")(kProviderName, global("NeMoLMAdapter"));
        global("logger").attr("info")(nb::str("Registered NeMo Guardrails provider: ") + nb::str(kProviderName));
        return true;
    } catch (nb::python_error &e) {
        if (!ordinary(e)) {
            throw;
        }
        global("logger").attr("warning")(nb::str("Failed to register guardrails provider: ") + nb::str(e.value()));
        return false;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Configuration.

nb::object require_at_least_one_safety_config(nb::handle self) {
    if (!self.attr("content_safety_config").is_none() || !self.attr("topic_safety_config").is_none()) {
        return nb::borrow(self);
    }
    pyhost::raise(PyExc_ValueError, "At least one of `content_safety_config` or `topic_safety_config` must be provided.");
}

nb::object from_model_config(nb::handle cls, nb::handle model_id, nb::handle credentials, nb::handle config,
                             nb::handle fallback_lms, nb::kwargs kwargs) {
    nb::object invoker = global("build_lm_invoker")(nb::arg("model_id") = model_id,
                                                    nb::arg("credentials") = credentials, nb::arg("config") = config);
    nb::object fallbacks = pyhost::truth(fallback_lms) ? nb::borrow(fallback_lms) : nb::object(nb::list());
    // The factory's own two keywords cannot be given again, as with a call that repeats a keyword.
    for (const char *own : {"lm_invoker", "fallback_lms"}) {
        if (kwargs.contains(own)) {
            pyhost::raise(PyExc_TypeError, "%S() got multiple values for keyword argument '%s'",
                          cls.attr("__qualname__").ptr(), own);
        }
    }
    return cls(nb::arg("lm_invoker") = invoker, nb::arg("fallback_lms") = fallbacks, **kwargs);
}

void define_config(nb::module_ m) {
    nb::object none = nb::none();
    nb::object any = pyhost::import_from("typing", "Any");
    nb::handle text = reinterpret_cast<PyObject *>(&PyUnicode_Type);
    nb::handle list = reinterpret_cast<PyObject *>(&PyList_Type);
    nb::handle dict = reinterpret_cast<PyObject *>(&PyDict_Type);
    nb::object invoker = m.attr("BaseLMInvoker");
    nb::object field = m.attr("Field");

    // The check must be in the class body when the class is made, so it is not one of the builder's late
    // operations. pydantic reads a validator's signature to learn how to call it, and a C++ callable shows none of
    // its own: a partial carries the one-parameter signature.
    nb::object check = pyhost::import_from("functools", "partial")(nb::cpp_function(
        &require_at_least_one_safety_config, nb::name("_require_at_least_one_safety_config"), nb::arg("self")));
    nb::object inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::list parameters;
    parameters.append(parameter("self", parameter.attr("POSITIONAL_OR_KEYWORD")));
    nb::setattr(check, "__signature__", inspect.attr("Signature")(parameters));
    nb::object validator = m.attr("model_validator")(nb::arg("mode") = "after")(check);

    pyhost::ClassBuilder(m, "NemoGuardrailEngineConfig", "Configuration of the NeMo Guardrails engine.")
        .base(m.attr("BaseGuardrailEngineConfig"))
        .annotate("lm_invoker", pyhost::optional(invoker))
        .attr("lm_invoker", none)
        .annotate("fallback_lms", list[invoker])
        .attr("fallback_lms", field(nb::arg("default_factory") = list))
        .annotate("nemo_kwargs", pyhost::optional(dict[nb::make_tuple(text, any)]))
        .attr("nemo_kwargs", none)
        .annotate("content_safety_config", pyhost::optional(m.attr("ContentSafetyConfigBuilder")))
        .attr("content_safety_config", none)
        .annotate("topic_safety_config", pyhost::optional(m.attr("TopicSafetyConfigBuilder")))
        .attr("topic_safety_config", none)
        .attr("_require_at_least_one_safety_config", validator)
        .build();

    // A pydantic model refuses non-function attributes in its body, so the factory is set once the class exists.
    nb::object config_class = m.attr("NemoGuardrailEngineConfig");
    nb::object factory = nb::cpp_function(
        &from_model_config, nb::name("from_model_config"), nb::arg("cls"), nb::arg("model_id").none(),
        nb::arg("credentials").none(), nb::arg("config").none(), nb::arg("fallback_lms").none(),
        nb::arg("kwargs"), "Build a configuration whose primary invoker `build_lm_invoker` makes from a model identifier.");
    nb::setattr(config_class, "from_model_config",
                pyhost::import_from("builtins", "classmethod")(pyhost::signed_function(
                    factory, m.attr("__name__"), nb::str("NemoGuardrailEngineConfig.from_model_config"))));
}

// ---------------------------------------------------------------------------------------------------------
// Engine construction.

void configure_nemo_logging() {
    nb::object logging = global("logging");
    nb::object logger = logging.attr("getLogger")("nemoguardrails");
    nb::object warning = logging.attr("WARNING");
    if (logger.attr("getEffectiveLevel")() < warning) {
        logger.attr("setLevel")(warning);
    }
}

void ensure_provider_registered(nb::handle cls) {
    if (pyhost::truth(cls.attr("_is_registered"))) {
        return;
    }
    nb::object lock = cls.attr("_registration_lock");
    lock.attr("acquire")();
    try {
        if (!pyhost::truth(cls.attr("_is_registered")) && pyhost::truth(global("init_guardrails_provider_registration")())) {
            // On the defining class, whichever class asked: the registration holds for the whole process, so a
            // subclass that registered first must not leave the flag unset for the others.
            nb::setattr(engine_class.get(), "_is_registered", nb::bool_(true));
        }
    } catch (...) {
        lock.attr("release")();
        throw;
    }
    lock.attr("release")();
}

nb::object build_rails_config(nb::handle self) {
    nb::object rails_config = global("RailsConfig");
    nb::object base;
    try {
        base = rails_config.attr("from_path")(global("NEMO_BASE_CONFIG_PATH"));
    } catch (nb::python_error &e) {
        if (!ordinary(e)) {
            throw;
        }
        pyhost::raise_from(e.value(), PyExc_ValueError, "Failed to create RailsConfig: %S", e.value().ptr());
    }
    nb::object nemo_kwargs = self.attr("config").attr("nemo_kwargs");
    if (nemo_kwargs.is_none()) {
        return base;
    }
    try {
        nb::object extra = rails_config.attr("from_content")(**nemo_kwargs);
        return extra + base;
    } catch (nb::python_error &e) {
        if (!ordinary(e)) {
            throw;
        }
        pyhost::raise_from(e.value(), PyExc_ValueError, "Failed to merge RailsConfig: %S", e.value().ptr());
    }
}

void initialize_internal(nb::handle self) {
    nb::object rails_config = self.attr("_build_rails_config")();
    nb::object llm = nb::none();
    try {
        nb::object config = self.attr("config");
        if (pyhost::truth(config.attr("lm_invoker"))) {
            // `str(model_id)`: nb::str would take an attribute accessor's value as it is.
            nb::object model = pyhost::owned(PyObject_Str(config.attr("lm_invoker").attr("model_id").ptr()));
            nb::object invoker = config.attr("lm_invoker");
            nb::object fallbacks = config.attr("fallback_lms");
            llm = global("NeMoLMAdapter")(nb::arg("model") = model, nb::arg("lm_invoker") = invoker,
                                          nb::arg("fallback_lms") = fallbacks);
        }
        nb::setattr(self, "rails", global("LLMRails")(nb::arg("config") = rails_config, nb::arg("llm") = llm));
    } catch (nb::python_error &e) {
        if (!ordinary(e)) {
            throw;
        }
        pyhost::raise_from(e.value(), PyExc_RuntimeError, "Failed to initialize LLMRails: %S", e.value().ptr());
    }
    global("logger").attr("info")("NeMo guardrails engine initialized");
}

void engine_init(nb::handle self, nb::handle config) {
    if (!nb::isinstance(config, global("NemoGuardrailEngineConfig"))) {
        pyhost::raise(PyExc_TypeError, "config must be a NemoGuardrailEngineConfig instance");
    }
    nb::setattr(self, "config", config);
    nb::setattr(self, "rails", nb::none());
    self.attr("_configure_nemo_logging")();
    self.attr("_ensure_provider_registered")();
    self.attr("_initialize_internal")();
}

// ---------------------------------------------------------------------------------------------------------
// Checks.

nb::dict message(const char *role, nb::handle content) {
    nb::dict m;
    m["role"] = role;
    m["content"] = content;
    return m;
}

// How many checks may run the rails at once on one event loop: as many as the judge's invoker keeps
// connections. A run is some 10 ms of work on the loop besides its model call, and every model call
// in flight waits for the loop's turn within its deadline; unbounded, a burst of checks holds the loop
// for seconds, so that the calls of a healthy judge run out of time and their checks fail open.
nb::object concurrent_runs(nb::handle self) {
    nb::object invoker = self.attr("config").attr("lm_invoker");
    nb::object limit = nb::getattr(invoker, "max_connections", nb::none());
    if (PyLong_Check(limit.ptr()) && !PyBool_Check(limit.ptr()) &&
        pyhost::status(PyObject_RichCompareBool(limit.ptr(), nb::int_(1).ptr(), Py_GE))) {
        return limit;
    }
    return nb::int_(kDefaultConcurrentRuns);
}

// The running loop's gate for rails runs: an asyncio semaphore serves one loop only, and an engine may serve
// several. The checks beyond the limit wait in order, before any model call, so that the wait counts against
// no deadline. A semaphore that a check had to wait on holds its loop, so the engine holds the gates weakly:
// a gate lives as long as the checks that use it, the loop it names no longer, and a loop's next check after
// a quiet moment makes a new one, as free as the last was then.
nb::object run_gate(nb::handle self) {
    nb::object loop = get_running_loop();
    nb::object gates = nb::getattr(self, "_run_gates", nb::none());
    if (gates.is_none()) {
        gates = weak_value_dictionary();
        nb::setattr(self, "_run_gates", gates);
    }
    nb::object gate = gates.attr("get")(loop);
    if (gate.is_none()) {
        gate = semaphore_class(concurrent_runs(self));
        pyhost::status(PyObject_SetItem(gates.ptr(), loop.ptr(), gate.ptr()));
    }
    return gate;
}

pyasync::Task run_nemo_safety_check(nb::object self, nb::object messages, nb::object rail_name) {
    nb::object config = self.attr("config");
    nb::dict safety_context;
    nb::object topic = config.attr("topic_safety_config");
    if (!topic.is_none()) {
        safety_context["topic_safety"] = topic.attr("get_string")();
    }
    nb::object content_builder = config.attr("content_safety_config");
    if (!content_builder.is_none()) {
        safety_context["content_safety"] = content_builder.attr("get_string")();
    }
    nb::dict context_content;
    context_content["safety_context"] = safety_context;
    nb::list full;
    full.append(message("context", context_content));
    for (nb::handle m : messages) {
        full.append(m);
    }
    nb::dict options;
    nb::list rails;
    rails.append(rail_name);
    nb::list output_vars;
    output_vars.append("response");
    options["rails"] = rails;
    options["output_vars"] = output_vars;

    // Each check is a conversation of its own, and the runtime is to keep nothing of it. Given no
    // state, it would keep every conversation's events in its history cache for good; given a fresh
    // empty one, it starts a new conversation and hands the events back in the result, dropped with it.
    // It also records each model call in the explanation record of the caller's context, which lives
    // as long as that context: a caller awaiting check after check in one task would see it grow
    // without end. So each run makes a record of its own, and the caller's is back afterwards.
    nb::object result;
    {
        // The check's turn among the loop's running checks (see run_gate).
        nb::object gate = run_gate(self);
        co_await gate.attr("acquire")();
        pyhost::Released turn(gate);
        nb::object explain_token = explain_info_var.attr("set")(nb::none());
        try {
            result = co_await self.attr("rails").attr("generate_async")(
                nb::arg("messages") = full, nb::arg("options") = options, nb::arg("state") = nb::dict());
        } catch (...) {
            explain_info_var.attr("reset")(explain_token);
            throw;
        }
        explain_info_var.attr("reset")(explain_token);
    }
    nb::object output_data = result.attr("output_data");
    nb::object value = pyhost::truth(output_data) ? output_data.attr("get")("response") : nb::none();
    if (!PyList_Check(value.ptr()) || PyList_GET_SIZE(value.ptr()) == 0) {
        global("logger").attr("error")(nb::str("Invalid safety response format from NeMo: ") + nb::str(value));
        co_return global("GuardrailResult").attr("safe")();
    }
    nb::object verdict = value[0];
    if (!pyhost::truth(verdict)) {
        nb::object reason = nb::len(value) > 1 ? nb::object(value[1]) : nb::object(nb::str("Unsafe content detected"));
        co_return global("GuardrailResult").attr("unsafe")(reason);
    }
    co_return global("GuardrailResult").attr("safe")();
}

pyasync::Task check_input_task(nb::object self, nb::object content, nb::kwargs) {
    if (self.attr("rails").is_none()) {
        pyhost::raise(PyExc_RuntimeError, "Guardrail engine is not initialized");
    }
    nb::list conversation;
    conversation.append(message("user", content));
    co_return co_await self.attr("_run_nemo_safety_check")(conversation, "input");
}

pyasync::Task check_output_task(nb::object self, nb::object content, nb::kwargs) {
    if (self.attr("rails").is_none()) {
        pyhost::raise(PyExc_RuntimeError, "Guardrail engine is not initialized");
    }
    nb::list conversation;
    conversation.append(message("user", nb::str("")));
    conversation.append(message("assistant", content));
    co_return co_await self.attr("_run_nemo_safety_check")(conversation, "output");
}

// The stream operations return the adapter's stream unstarted: nothing is read until the caller iterates.
nb::object check_stream(const char *operation, nb::handle self, nb::handle chunks, nb::kwargs kwargs) {
    return global("FullStreamGuardrailAdapter")(self).attr(operation)(chunks, **kwargs);
}

void define_engine(nb::module_ m) {
    nb::object lock = m.attr("threading").attr("Lock")();
    engine_class.set(pyhost::ClassBuilder(m, "NemoGuardrailEngine",
                         "Guardrail engine that checks content with one run of the NeMo Guardrails rails per check.")
        .base(m.attr("GuardrailEngine"))
        .attr("_registration_lock", lock)
        .attr("_is_registered", nb::bool_(false))
        .method("__init__", &engine_init, nb::arg("config").none(),
                "Set up logging, the provider registration, the rails configuration and the rails runtime.")
        .staticmethod("_configure_nemo_logging", &configure_nemo_logging,
                      "Raise the `nemoguardrails` logger to WARNING when its effective level is lower.")
        .classmethod("_ensure_provider_registered", &ensure_provider_registered,
                     "Register the model adapter with NeMo Guardrails unless a registration has succeeded.")
        .method("_build_rails_config", &build_rails_config,
                "The base rails configuration, with the configured extra configuration added in front of it.")
        .method("_initialize_internal", &initialize_internal,
                "Build the rails configuration, the model adapter when an invoker is configured, and the runtime.")
        .method("check_input", &check_input_task,
            nb::arg("content").none(), nb::arg("kwargs"), "Check user input through the input rails.")
        .method("check_output", &check_output_task,
            nb::arg("content").none(), nb::arg("kwargs"), "Check model output through the output rails.")
        .attr("requires_full_stream", nb::bool_(true))
        .method("_run_nemo_safety_check", &run_nemo_safety_check,
            nb::arg("messages").none(), nb::arg("rail_name").none(),
            "Run one rail type on the conversation behind the safety context and read the verdict list.")
        .method(
            "check_input_stream",
            [](nb::handle self, nb::handle chunks, nb::kwargs kwargs) {
                return check_stream("check_input_stream", self, chunks, std::move(kwargs));
            },
            nb::arg("chunks").none(), nb::arg("kwargs"), "Check a whole input stream through FullStreamGuardrailAdapter.")
        .method(
            "check_output_stream",
            [](nb::handle self, nb::handle chunks, nb::kwargs kwargs) {
                return check_stream("check_output_stream", self, chunks, std::move(kwargs));
            },
            nb::arg("chunks").none(), nb::arg("kwargs"),
            "Check a whole output stream through FullStreamGuardrailAdapter.")
        .build());
}

// ---------------------------------------------------------------------------------------------------------
// The self-check routine and the two actions' bodies.

nb::object normalize_safety_response_for_logging(nb::handle response) {
    nb::object payload;
    if (PyUnicode_Check(response.ptr())) {
        try {
            payload = json_loads(response);
        } catch (nb::python_error &e) {
            if (!e.matches(json_decode_error.get())) {
                throw;
            }
            return nb::borrow(response);
        }
    } else {
        payload = nb::borrow(response);
    }
    if (!nb::isinstance(payload, mapping_abc.get())) {
        return nb::borrow(response);
    }
    nb::object aliases = global("_SAFETY_LOG_KEY_ALIASES");
    nb::dict normalized;
    for (nb::handle item : payload.attr("items")()) {
        nb::object key = item[0];
        normalized[aliases.attr("get")(key, key)] = item[1];
    }
    try {
        return json_dumps(normalized, nb::arg("ensure_ascii") = false);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) {
            throw;
        }
        return nb::borrow(response);
    }
}

// [True]: the verdict list of a check with nothing to check, or whose own check failed.
nb::list safe_verdict() {
    nb::list safe;
    safe.append(true);
    return safe;
}

pyasync::Task execute_nemo_safety_check(nb::object llm_task_manager, nb::object llm, nb::object task,
                                        nb::object prompt_context, nb::object log_label) {
    nb::object failure;
    try {
        nb::object prompt =
            llm_task_manager.attr("render_task_prompt")(nb::arg("task") = task, nb::arg("context") = prompt_context);
        nb::object stop = llm_task_manager.attr("get_stop_tokens")(nb::arg("task") = task);
        llm_call_info_var.attr("set")(LLMCallInfo(nb::arg("task") = task.attr("value")));
        // Looked up on each call, as the name imported from NeMo Guardrails' module would be patched there.
        nb::object response_obj = co_await llm_utils.attr("llm_call")(llm, prompt, nb::arg("stop") = stop);
        nb::object response = nb::hasattr(response_obj, "content") ? nb::object(response_obj.attr("content"))
                                                                   : response_obj;
        safety_logger.attr("info")(normalize_safety_response_for_logging(response));
        nb::object result;
        if (pyhost::truth(llm_task_manager.attr("has_output_parser")(task))) {
            result = llm_task_manager.attr("parse_task_output")(task, nb::arg("output") = response);
        } else {
            result = llm_task_manager.attr("parse_task_output")(task, nb::arg("output") = response,
                                                                 nb::arg("forced_output_parser") = "is_content_safe");
        }
        nb::object is_safe = result[0];
        nb::list verdict;
        verdict.append(is_safe);
        if (!pyhost::truth(is_safe) && nb::len(result) > 1) {
            verdict.append(result[1]);
        }
        co_return verdict;
    } catch (nb::python_error &e) {
        if (!ordinary(e)) {
            throw;
        }
        failure = nb::str(e.value());
    } catch (const std::exception &) {
        // As Python sees it, in the library's words, not the C++ library's.
        failure = nb::str(pyasync::current_error().value());
    }
    safety_logger.attr("warning")(nb::str(log_label) + nb::str(kFailOpenSuffix) + failure);
    co_return safe_verdict();
}

// `context.get(key, default)`, with no context read as an empty one.
nb::object context_get(nb::handle context, const char *key, nb::handle default_value) {
    if (context.is_none()) {
        return nb::borrow(default_value);
    }
    return context.attr("get")(key, default_value);
}

// {"user_input": ..., ["bot_response": ...,] **safety_context}
nb::dict prompt_context(nb::handle user_message, nb::handle bot_message, nb::handle safety_context) {
    nb::dict out;
    out["user_input"] = user_message;
    if (bot_message.is_valid()) {
        out["bot_response"] = bot_message;
    }
    if (!nb::hasattr(safety_context, "keys")) {
        pyhost::raise(PyExc_TypeError, "'%s' object is not a mapping", Py_TYPE(safety_context.ptr())->tp_name);
    }
    pyhost::status(PyDict_Update(out.ptr(), safety_context.ptr()));
    return out;
}

pyasync::Task self_check_input(nb::object llm_task_manager, nb::object context, nb::object llm) {
    nb::object user_message = context_get(context, "user_message", nb::none());
    nb::object safety_context = context_get(context, "safety_context", nb::dict());
    nb::object task = Task.attr("SELF_CHECK_INPUT");
    if (!pyhost::truth(user_message)) {
        co_return safe_verdict();
    }
    nb::dict variables = prompt_context(user_message, nb::handle(), safety_context);
    co_return co_await execute_nemo_safety_check(llm_task_manager, llm, task, variables, nb::str("Input"));
}

pyasync::Task self_check_output(nb::object llm_task_manager, nb::object context, nb::object llm) {
    nb::object bot_message = context_get(context, "bot_message", nb::none());
    nb::object user_message = context_get(context, "user_message", nb::none());
    nb::object safety_context = context_get(context, "safety_context", nb::dict());
    nb::object task = Task.attr("SELF_CHECK_OUTPUT");
    if (!pyhost::truth(bot_message)) {
        co_return safe_verdict();
    }
    nb::dict variables = prompt_context(user_message, bot_message, safety_context);
    co_return co_await execute_nemo_safety_check(llm_task_manager, llm, task, variables, nb::str("Output"));
}

void define_actions(nb::module_ m) {
    nb::dict aliases;
    aliases["User Safety"] = "user_safety";
    aliases["Response Safety"] = "response_safety";
    aliases["Safety Categories"] = "safety_categories";
    m.attr("_SAFETY_LOG_KEY_ALIASES") = aliases;
    safety_logger.set(pyhost::import_from("vadrel_core.logging", "LoggerManager")().attr("get_logger")(
        kSafetyCheckModuleName));
    m.attr("_safety_check_logger") = safety_logger.get();

    m.def(
        "_execute_nemo_safety_check",
        [](nb::object llm_task_manager, nb::object llm, nb::object task, nb::object prompt_context,
           nb::object log_label) {
            return execute_nemo_safety_check(std::move(llm_task_manager), std::move(llm), std::move(task),
                                             std::move(prompt_context), std::move(log_label))
                .named("execute_nemo_safety_check");
        },
        nb::arg("llm_task_manager").none(), nb::arg("llm").none(), nb::arg("task").none(),
        nb::arg("prompt_context").none(), nb::arg("log_label").none(),
        "Render the task prompt, call the model, parse its answer into a verdict list; [True] when a step fails.");
    m.def("_parse_self_check_answer", &nemo_answer::parse, nb::arg("answer").none(),
          "The verdict list of a model's answer to a self-check prompt (the prompts' output parser).");
    m.def("_normalize_safety_response_for_logging", &normalize_safety_response_for_logging,
          nb::arg("response").none(),
          "The answer as logged: a JSON object's known safety keys in snake case; anything else unchanged.");
    m.def(
        "_self_check_input",
        [](nb::object llm_task_manager, nb::object context, nb::object llm) {
            return self_check_input(std::move(llm_task_manager), std::move(context), std::move(llm))
                .named("self_check_input");
        },
        nb::arg("llm_task_manager").none(), nb::arg("context").none() = nb::none(),
        nb::arg("llm").none() = nb::none(), "The body of the action `self_check_input`.");
    m.def(
        "_self_check_output",
        [](nb::object llm_task_manager, nb::object context, nb::object llm) {
            return self_check_output(std::move(llm_task_manager), std::move(context), std::move(llm))
                .named("self_check_output");
        },
        nb::arg("llm_task_manager").none(), nb::arg("context").none() = nb::none(),
        nb::arg("llm").none() = nb::none(), "The body of the action `self_check_output`.");
}

// `from module import name`: a missing name is an import error, as the statement reports it.
nb::object from_import(const char *module, const char *name) {
    nb::object found = nb::module_::import_(module);
    if (!nb::hasattr(found, name)) {
        pyhost::raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return found.attr(name);
}

void import_builder(nb::module_ m) {
    try {
        m.attr("build_lm_invoker") = from_import("vadrel_inference.lm_invoker", "build_lm_invoker");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
        // The module logger does not exist yet.
        m.attr("LoggerManager")().attr("get_logger")(kModuleName).attr("warning")(
            "Importing build_lm_invoker from vadrel_inference.builder is deprecated and will be removed in a future "
            "release. Please upgrade vadrel-inference to >=0.6.0.");
        m.attr("build_lm_invoker") = from_import("vadrel_inference.builder", "build_lm_invoker");
    }
}

}  // namespace

void init_nemo_engine(nb::module_ m) {
    module_.set(m);
    m.attr("__doc__") = "Default NeMo Guardrails engine implementation.";
    m.attr("logging") = nb::module_::import_("logging");
    m.attr("threading") = nb::module_::import_("threading");
    pyhost::reexport(m, "typing", {"Any", "Optional"});
    pyhost::reexport(m, "vadrel_core.utils", {"LoggerManager"});
    import_builder(m);
    pyhost::reexport(m, "vadrel_inference.lm_invoker.lm_invoker", {"BaseLMInvoker"});
    pyhost::reexport(m, "vadrel_inference.schema", {"ModelId"});
    pyhost::reexport(m, "nemoguardrails", {"LLMRails", "RailsConfig", "register_provider"});
    pyhost::reexport(m, "pydantic", {"Field", "model_validator"});
    pyhost::reexport(m, "vadrel_guardrail.adapter.nemo_adapter", {"NeMoLMAdapter"});
    nb::module_::import_("vadrel_guardrail.config");
    pyhost::reexport(m, "vadrel_guardrail.config.safety", {"ContentSafetyConfigBuilder", "TopicSafetyConfigBuilder"});
    pyhost::reexport(m, "vadrel_guardrail.constants", {"NEMO_BASE_CONFIG_PATH"});
    pyhost::reexport(m, "vadrel_guardrail.engine.base_engine",
                     {"BaseGuardrailEngineConfig", "FullStreamGuardrailAdapter", "GuardrailEngine"});
    pyhost::reexport(m, "vadrel_guardrail.schema", {"GuardrailResult", "GuardrailStreamChunk"});

    nb::object manager = m.attr("LoggerManager")();
    m.attr("manager") = manager;
    m.attr("logger") = manager.attr("get_logger")(kModuleName);

    // What the self-check routine uses of NeMo Guardrails, bound once.
    json_loads.set(pyhost::import_from("json", "loads"));
    json_dumps.set(pyhost::import_from("json", "dumps"));
    json_decode_error.set(pyhost::import_from("json", "JSONDecodeError"));
    mapping_abc.set(pyhost::import_from("collections.abc", "Mapping"));
    llm_utils.set(nb::module_::import_("nemoguardrails.actions.llm.utils"));
    llm_utils.attr("llm_call");
    llm_call_info_var.set(pyhost::import_from("nemoguardrails.context", "llm_call_info_var"));
    explain_info_var.set(pyhost::import_from("nemoguardrails.context", "explain_info_var"));
    LLMCallInfo.set(pyhost::import_from("nemoguardrails.logging.explain", "LLMCallInfo"));
    Task.set(pyhost::import_from("nemoguardrails.llm.types", "Task"));
    get_running_loop.set(pyhost::import_from("asyncio", "get_running_loop"));
    semaphore_class.set(pyhost::import_from("asyncio", "Semaphore"));
    weak_value_dictionary.set(pyhost::import_from("weakref", "WeakValueDictionary"));

    m.def("init_guardrails_provider_registration", &init_guardrails_provider_registration,
          "Register NeMoLMAdapter with NeMo Guardrails under \"vadrel_invoker\"; false when that fails.");
    define_config(m);
    define_engine(m);
    define_actions(m);
}

}  // namespace vadrel_guardrail
