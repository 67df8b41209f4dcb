// The module `vadrel_guardrail.engine.dm_engine`: named yes/no policies answered by a decision
// model in one call per check, scored against per-policy thresholds.
#include "vadrel_guardrail/engine/dm_engine.hpp"

#include "pyasync/pyasync.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"
#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail {

namespace dm_engine {
pyhost::Global DMQuestionConfig;
pyhost::Global DMPolicyConfig;
pyhost::Global DMGuardrailEngineConfig;
pyhost::Global DMGuardrailEngine;
}  // namespace dm_engine

namespace {

using namespace dm_engine;

// Module globals read at call time, so that replacing them (a test's logger, a changed default
// template) takes effect as it would for a module written in Python.
pyhost::Global this_module;
pyhost::Global mapping_abc;
pyhost::Global safe_load;
pyhost::Global resources;  // importlib.resources, whose `files` is looked up at each load
pyhost::Global DMComponent;
pyhost::Global DMQuestion;
pyhost::Global VeskAnswer;
pyhost::Global str_replace;  // `str.replace`, called for every text value of every rendered state
pyhost::Global placeholder;  // "{content}"

// A ValueError whose text Python formatted: names that would not survive a round trip through
// UTF-8 (lone surrogates) reach the message intact.
[[noreturn]] void raise_value_error(nb::handle message) { pyhost::raise(PyExc_ValueError, "%U", message.ptr()); }

bool is_mapping(nb::handle value) {
    return PyDict_Check(value.ptr()) || nb::isinstance(value, mapping_abc.get());
}

nb::object type_name_of(nb::handle value) {
    return nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr()))).attr("__name__");
}

nb::object builtin(const char *name) {
    return nb::module_::import_("builtins").attr(name);
}

// ---- policy loading ------------------------------------------------------------------------

// Parse with PyYAML and close the file whatever happens, as a `with` block would.
nb::object parse_and_close(nb::object file) {
    return pyhost::read_and_close(file, [](nb::handle f) { return safe_load(f); });
}

nb::object load_policies(nb::handle config) {
    nb::object in_memory = config.attr("policies");
    if (!in_memory.is_none()) {
        return in_memory;  // the configuration's own mapping, already validated when it was built
    }

    nb::object path = config.attr("policy_config_path");
    nb::object raw;
    if (!path.is_none()) {
        raw = parse_and_close(builtin("open")(path, nb::arg("encoding") = "utf-8"));
    } else {
        nb::object resource = resources.attr("files")(kBundledPolicyPackage).attr("joinpath")(kBundledPolicyFile);
        raw = parse_and_close(resource.attr("open")("r", nb::arg("encoding") = "utf-8"));
    }

    nb::object data = is_mapping(raw) ? raw.attr("get")("policies", nb::dict()) : nb::object(nb::dict());

    nb::object source;
    if (PyUnicode_Check(path.ptr()) && PyUnicode_GetLength(path.ptr()) > 0) {
        source = nb::repr(path);
    } else {
        source = nb::repr(nb::str("{}/{}").format(kBundledPolicyPackage, kBundledPolicyFile));
    }
    if (!is_mapping(data)) {
        raise_value_error(
            nb::str("Policy YAML at {} must contain a 'policies' mapping, got {}").format(source, type_name_of(data)));
    }

    nb::dict policies;
    nb::object validate = DMPolicyConfig.attr("model_validate");
    for (nb::handle item : data.attr("items")()) {
        nb::object name = item[0];
        // YAML keys may be numbers, booleans or null; such a name would only fail later, when a
        // violation is reported with it, so the file is refused here, as in-memory policies are.
        if (!PyUnicode_Check(name.ptr())) {
            raise_value_error(nb::str("Policy YAML at {} has a policy name that is not text: {!r}").format(source, name));
        }
        policies[name] = validate(item[1]);
    }
    return policies;
}

// ---- state rendering -----------------------------------------------------------------------

}  // namespace

nb::object dm_engine::format_template(nb::handle value, nb::handle content) {
    if (PyUnicode_Check(value.ptr())) {
        // str.replace: one left-to-right pass, inserted text is not scanned again; a content that
        // is not text fails here with Python's own type error.
        return str_replace(value, placeholder.get(), content);
    }
    bool list = PyList_Check(value.ptr());
    if (!list && !is_mapping(value)) {
        return nb::borrow(value);
    }
    // A template that contains itself would otherwise recurse until the C stack runs out. The
    // interpreter's own C limit allows more nesting than a sanitizer build's stack holds, so the depth
    // is held to the Python recursion limit, where Python code would stop too.
    static thread_local int depth = 0;
    if (depth >= Py_GetRecursionLimit()) {
        pyhost::raise(PyExc_RecursionError, "maximum recursion depth exceeded while rendering a state template");
    }
    ++depth;
    struct Leave {
        ~Leave() { --depth; }
    } leave;
    if (list) {
        nb::list out;
        // Its items as they are now: rendering one may run Python code (a mapping's own `items`).
        for (nb::handle item : pyhost::snapshot(value)) {
            out.append(format_template(item, content));
        }
        return out;
    }
    nb::dict out;
    for (nb::handle item : value.attr("items")()) {
        out[item[0]] = format_template(item[1], content);
    }
    return out;
}

namespace {

nb::object resolve_state(nb::handle self, nb::handle content) {
    nb::object template_value = self.attr("config").attr("state_template");
    if (template_value.is_none()) {
        template_value = this_module.attr("DEFAULT_STATE_TEMPLATE");
    }
    return format_template(template_value, content);
}

// ---- checks --------------------------------------------------------------------------------

// Coroutine parameters own their objects: the frame outlives the call that created it.
pyasync::Task check_content_body(nb::object self, nb::object content, nb::object trace_attributes,
                                 nb::kwargs kwargs) {
    nb::object state = self.attr("_resolve_state")(content);
    // Of the caller's keyword arguments only these two reach the decision model.
    nb::object hyperparameters = kwargs.contains("hyperparameters") ? nb::object(kwargs["hyperparameters"]) : nb::none();
    nb::object output = co_await self.attr("_invoke_dm")(nb::arg("state") = state,
                                                         nb::arg("questions") = self.attr("questions"),
                                                         nb::arg("hyperparameters") = hyperparameters,
                                                         nb::arg("trace_attributes") = trace_attributes);
    co_return self.attr("_evaluate_output")(output);
}

// Both directions ask the same questions; each goes through `_check_content` by attribute.
pyasync::Task delegate_body(nb::object self, nb::object content, nb::object trace_attributes, nb::kwargs kwargs) {
    nb::object awaitable = self.attr("_check_content")(content, nb::arg("trace_attributes") = trace_attributes, **kwargs);
    co_return co_await awaitable;
}

nb::object check_input(nb::object self, nb::object content, nb::object trace_attributes, nb::kwargs kwargs) {
    return std::move(delegate_body(std::move(self), std::move(content), std::move(trace_attributes), std::move(kwargs)))
        .named("check_input", "DMGuardrailEngine.check_input")
        .to_python();
}

nb::object check_output(nb::object self, nb::object content, nb::object trace_attributes, nb::kwargs kwargs) {
    return std::move(delegate_body(std::move(self), std::move(content), std::move(trace_attributes), std::move(kwargs)))
        .named("check_output", "DMGuardrailEngine.check_output")
        .to_python();
}

nb::object check_content(nb::object self, nb::object content, nb::object trace_attributes, nb::kwargs kwargs) {
    return std::move(
               check_content_body(std::move(self), std::move(content), std::move(trace_attributes), std::move(kwargs)))
        .named("_check_content", "DMGuardrailEngine._check_content")
        .to_python();
}

// ---- scoring -------------------------------------------------------------------------------

nb::object extract_score(nb::handle, nb::handle output, nb::handle policy_name) {
    nb::object answer = output.attr("answers").attr("get")(policy_name);
    if (answer.is_none()) {
        raise_value_error(nb::str("DM response is missing answer for {!r}").format(policy_name));
    }
    if (!nb::isinstance(answer, VeskAnswer.get())) {
        raise_value_error(nb::str("Invalid answer type for {!r}: expected VeskAnswer").format(policy_name));
    }
    nb::object score = answer.attr("vesk");
    // bool is an int subclass, so True and False pass as 1 and 0; NaN fails both comparisons.
    bool numeric = PyLong_Check(score.ptr()) || PyFloat_Check(score.ptr());
    if (numeric && score >= nb::float_(0.0) && score <= nb::float_(1.0)) {
        return score;
    }
    raise_value_error(nb::str("Invalid score for {!r}: {}").format(policy_name, score));
}

nb::object evaluate_output(nb::handle self, nb::handle output) {
    nb::object policies = self.attr("policies");
    nb::object config = self.attr("config");
    nb::object extract = self.attr("_extract_score");

    // Every score first: a broken answer fails the check even when another policy is violated.
    nb::list names, scores;
    for (nb::handle name : policies) {
        names.append(name);
        scores.append(extract(output, name));
    }

    nb::object highest, worst_name, worst_score;
    for (size_t i = 0; i < nb::len(names); ++i) {
        nb::object name = names[i];
        nb::object score = scores[i];
        if (!highest.is_valid() || score > highest) {
            highest = score;
        }
        nb::object threshold = policies[name].attr("threshold");
        if (threshold.is_none()) {
            threshold = config.attr("default_threshold");
        }
        // Equal to the threshold counts as violated; among equal worst scores the first wins.
        if (score >= threshold && (!worst_name.is_valid() || score > worst_score)) {
            worst_name = name;
            worst_score = score;
        }
    }

    if (worst_name.is_valid()) {
        nb::object policy = policies[worst_name];
        return schema::GuardrailResult.attr("unsafe")(
            nb::arg("reason") = policy.attr("reason"), nb::arg("category") = policy.attr("category"),
            nb::arg("policy") = worst_name, nb::arg("score") = worst_score);
    }
    if (!highest.is_valid()) {
        highest = nb::none();
    }
    return schema::GuardrailResult.attr("safe")(nb::arg("score") = highest);
}

// ---- construction --------------------------------------------------------------------------

nb::object build_questions(nb::handle policies) {
    nb::dict questions;
    nb::object vesk = DMQuestion.attr("vesk");
    for (nb::handle item : policies.attr("items")()) {
        nb::object question = item[1].attr("question");
        questions[item[0]] = vesk(nb::arg("instructions") = question.attr("instructions"),
                                  nb::arg("criteria") = question.attr("criteria"));
    }
    return questions;
}

void engine_init(nb::handle self, nb::handle dm_invoker, nb::handle engine_config) {
    DMComponent.attr("__init__")(self, nb::arg("dm_invoker") = dm_invoker);

    nb::object config = pyhost::truth(engine_config) ? nb::borrow(engine_config) : DMGuardrailEngineConfig();
    nb::setattr(self, "config", config);

    nb::object policies = self.attr("_load_policies")(config);
    nb::setattr(self, "policies", policies);
    if (nb::len(policies) == 0) {
        pyhost::raise(PyExc_ValueError, "At least one policy must be configured.");
    }
    nb::setattr(self, "questions", self.attr("_build_questions")(policies));

    this_module.attr("logger").attr("info")(
        nb::str("DM guardrail engine initialized with {} policies").format(nb::len(policies)));
}

// ---- module --------------------------------------------------------------------------------

nb::object field(nb::handle default_value, const char *description, double ge = -1.0, double le = -1.0) {
    nb::object make = pyhost::import_from("pydantic", "Field");
    if (ge < 0.0) {
        return make(nb::arg("default") = default_value, nb::arg("description") = description);
    }
    return make(nb::arg("default") = default_value, nb::arg("ge") = ge, nb::arg("le") = le,
                nb::arg("description") = description);
}

void define_models(nb::module_ m) {
    nb::handle text = reinterpret_cast<PyObject *>(&PyUnicode_Type);
    nb::handle real = reinterpret_cast<PyObject *>(&PyFloat_Type);
    nb::object dict = builtin("dict");
    nb::object any = pyhost::import_from("typing", "Any");
    nb::object literal = pyhost::import_from("typing", "Literal");
    nb::object none = nb::none();

    DMQuestionConfig.set(
        pyhost::ClassBuilder::model(m, "DMQuestionConfig", "Yes/no question for the decision model.")
            .field("instructions", text, "Prompt instructions presented to the decision model.")
            .field("criteria", pyhost::optional(nb::object(dict[nb::make_tuple(nb::object(literal[nb::make_tuple("true", "false")]), text)])),
                   none, "Optional descriptions of the true and/or false outcomes.")
            .build());

    DMPolicyConfig.set(
        pyhost::ClassBuilder::model(m, "DMPolicyConfig", "Atomic policy definition for the decision-model engine.")
            .field("category", text, "Human-readable violation category.")
            .field("reason", text, "Reason returned when this policy triggers a violation.")
            .annotate("threshold", pyhost::optional(real))
            .attr("threshold", field(none, "Per-policy probability threshold; defaults to the engine default.", 0.0, 1.0))
            .field("question", DMQuestionConfig.get(), "The decision-model question of this policy.")
            .build());

    DMGuardrailEngineConfig.set(
        pyhost::ClassBuilder(m, "DMGuardrailEngineConfig", "Configuration for the decision-model guardrail engine.")
            .base(base_engine::BaseGuardrailEngineConfig.get())
            .field("policy_config_path", pyhost::optional(text), none, "Path to a custom policy YAML file.")
            .field("policies", pyhost::optional(nb::object(dict[nb::make_tuple(text, DMPolicyConfig.get())])), none,
                   "In-memory policies; when set they replace every policy file.")
            .annotate("default_threshold", real)
            .attr("default_threshold",
                  field(nb::float_(kDefaultDMThreshold),
                        "Probability threshold of every policy without its own; tuned for the default model.", 0.0,
                        1.0))
            .field("state_template", pyhost::optional(nb::object(dict[nb::make_tuple(text, any)])), none,
                   "Decision state template whose text values hold {content} placeholders.")
            .build());
}

void define_engine(nb::module_ m) {
    nb::handle base_guardrail_engine = base_engine::GuardrailEngine.get();
    DMGuardrailEngine.set(
        pyhost::ClassBuilder(m, "DMGuardrailEngine",
                             "Guardrail engine that judges a text against named policies with one decision-model "
                             "call per check.")
            .base(DMComponent.get())
            .base(base_guardrail_engine)
            .method("__init__", &engine_init, nb::arg("dm_invoker").none(), nb::arg("engine_config").none(),
                    "Build the engine: load the policies and build one question per policy.")
            .staticmethod("_load_policies", &load_policies, nb::arg("config"),
                          "Policies from memory, else the configured file, else the packaged file.")
            .staticmethod("_build_questions", &build_questions, nb::arg("policies"),
                          "One yes/no decision-model question per policy, under the policy's name.")
            .method("_resolve_state", &resolve_state, nb::arg("content").none(),
                    "Render the decision state for `content` from the configured template.")
            .method("check_input", &check_input, nb::arg("content").none(), nb::kw_only(),
                    nb::arg("trace_attributes").none(), nb::arg("kwargs"),
                    "Check user input against every policy with one decision-model call.")
            .method("check_output", &check_output, nb::arg("content").none(), nb::kw_only(),
                    nb::arg("trace_attributes").none(), nb::arg("kwargs"),
                    "Check model output against every policy with one decision-model call.")
            .method("_check_content", &check_content, nb::arg("content").none(), nb::kw_only(),
                    nb::arg("trace_attributes").none() = nb::none(), nb::arg("kwargs"),
                    "Render the state, ask every policy's question in one call and score the answers.")
            .method("_extract_score", &extract_score, nb::arg("output").none(), nb::arg("policy_name").none(),
                    "Validate and return the probability that the decision model gave for one policy.")
            .method("_evaluate_output", &evaluate_output, nb::arg("output").none(),
                    "Turn the decision model's answers into a verdict.")
            // The base's class operation, unchanged, declared again so that its signature shows this engine's
            // configuration class.
            .classmethod(
                "from_config",
                [](nb::handle cls, nb::handle model_id, nb::handle engine_config, nb::handle credentials,
                   nb::handle config) {
                    return pyhost::import_from("builtins", "super")(DMGuardrailEngine.get(), cls)
                        .attr("from_config")(nb::arg("model_id") = model_id, nb::arg("engine_config") = engine_config,
                                             nb::arg("credentials") = credentials, nb::arg("config") = config);
                },
                nb::arg("model_id"), nb::arg("engine_config").none(),
                nb::arg("credentials").none(), nb::arg("config").none(),
                "Build the decision-model invoker for `model_id` and the engine around it.")
            .build());
}

}  // namespace

void init_dm_engine(nb::module_ m) {
    nb::module_::import_("vadrel_guardrail.engine.base_engine");
    nb::module_::import_("vadrel_guardrail.schema");
    this_module.set(m);
    mapping_abc.set(pyhost::import_from("collections.abc", "Mapping"));
    safe_load.set(pyhost::import_from("yaml", "safe_load"));
    resources.set(nb::module_::import_("importlib.resources"));
    DMComponent.set(pyhost::import_from("vadrel_inference.component", "DMComponent"));
    pyhost::import_from("vadrel_inference.dm_invoker.dm_invoker", "BaseDMInvoker");
    pyhost::import_from("vadrel_inference.schema", "DMOutput");
    DMQuestion.set(pyhost::import_from("vadrel_inference.schema", "DMQuestion"));
    VeskAnswer.set(pyhost::import_from("vadrel_inference.schema", "VeskAnswer"));
    str_replace.set(nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)).attr("replace"));
    placeholder.set(nb::str("{content}"));

    nb::object manager = pyhost::import_from("vadrel_core.utils", "LoggerManager")();
    m.attr("manager") = manager;
    m.attr("logger") = manager.attr("get_logger")(m.attr("__name__"));

    m.attr("DEFAULT_DM_MODEL_ID") = kDefaultDMModelId;
    m.attr("DEFAULT_DM_THRESHOLD") = kDefaultDMThreshold;
    nb::dict default_state_template;
    default_state_template["content"] = "{content}";
    m.attr("DEFAULT_STATE_TEMPLATE") = default_state_template;
    m.attr("BUNDLED_POLICY_PACKAGE") = kBundledPolicyPackage;
    m.attr("BUNDLED_POLICY_FILE") = kBundledPolicyFile;

    define_models(m);
    define_engine(m);
    m.def("_format_template", &format_template, nb::arg("template").none(), nb::arg("content").none(),
          "Replace every \"{content}\" in the text values of `template`, at any depth of mappings and lists.");
}

}  // namespace vadrel_guardrail
