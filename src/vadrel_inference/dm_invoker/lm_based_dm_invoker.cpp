// `vadrel_inference.dm_invoker.lm_based_dm_invoker`: LMBasedDMInvoker, which answers a decision model's
// questions with one language-model call asking for a JSON object of probabilities.
#include <cmath>

#include "pyasync/pyasync.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_inference/errors.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

pyhost::Global LMBasedDMInvoker;

namespace {

constexpr const char *kClassName = "LMBasedDMInvoker";

constexpr const char *kInstructions =
    "You are a decision model. You receive a JSON object with a \"state\" and named yes/no \"questions\"; each "
    "question has instructions and may have criteria that describe when its answer is true and when it is false. "
    "For every question, judge the state and estimate the probability, from 0 to 1, that the answer is yes "
    "(true). Reply with one JSON object that maps every question name to its probability, for example "
    "{\"<question name>\": 0.12}, and nothing else.";

// Messages are built as Python text (not converted through UTF-8): they may carry whatever the model wrote.
[[noreturn]] void fail(nb::handle message, nb::handle cause = nb::handle()) {
    raise_runtime_error(kClassName, message, cause);
}

// The state and the questions as one JSON document; values JSON cannot hold are given as text.
nb::object request_text(nb::handle state, nb::handle questions) {
    nb::dict asked;
    for (nb::handle item : questions.attr("items")()) {
        nb::object question = item[1];
        nb::dict entry;
        entry["instructions"] = question.attr("instructions");
        if (!question.attr("criteria").is_none()) {
            entry["criteria"] = question.attr("criteria");
        }
        asked[item[0]] = entry;
    }
    nb::dict document;
    document["state"] = state;
    document["questions"] = asked;
    return nb::module_::import_("json").attr("dumps")(document, nb::arg("default") = nb::handle(&PyUnicode_Type),
                                                      nb::arg("ensure_ascii") = false);
}

// The JSON object of the answer, also when the model wrapped it in prose or a code fence.
nb::object answer_object(nb::str text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const Py_ssize_t open = PyUnicode_FindChar(text.ptr(), '{', 0, length, 1);
    const Py_ssize_t close = PyUnicode_FindChar(text.ptr(), '}', 0, length, -1);
    if (open == -2 || close == -2) throw nb::python_error();
    if (open < 0 || close < open) {
        fail(nb::str("malformed decision: no JSON object in the answer: {}").format(utf8_prefix(text, 200)));
    }
    nb::object parsed;
    try {
        nb::object object_text = pyhost::owned(PyUnicode_Substring(text.ptr(), open, close + 1));
        parsed = nb::module_::import_("json").attr("loads")(object_text);
    } catch (nb::python_error &e) {
        fail(nb::str("malformed decision: {}").format(e.value()), e.value());
    }
    if (!nb::isinstance<nb::dict>(parsed)) {
        fail(nb::str("malformed decision: the answer is not a JSON object"));
    }
    return parsed;
}

nb::object probability(nb::handle answers, nb::handle name) {
    nb::object value = answers.attr("get")(name);
    if (nb::isinstance<nb::dict>(value)) {
        // Some models nest the number: {"name": {"probability": 0.2}}.
        nb::object nested = value.attr("get")("vesk");
        value = nested.is_none() ? value.attr("get")("probability") : nested;
    }
    if (value.is_none()) {
        fail(nb::str("malformed decision: no answer for {!r}").format(name));
    }
    bool number = (nb::isinstance<nb::int_>(value) || nb::isinstance<nb::float_>(value)) &&
                  !nb::isinstance<nb::bool_>(value);
    double p = number ? nb::cast<double>(value) : NAN;
    if (!number || !(p >= 0.0 && p <= 1.0)) {
        fail(nb::str("malformed decision: the answer for {!r} is not a probability: {!r}").format(name, value));
    }
    return nb::float_(p);
}

pyasync::Task invoke(nb::object self, nb::object state, nb::object questions, nb::object hyperparameters) {
    nb::list system_contents;
    system_contents.append(nb::str(kInstructions));
    nb::list user_contents;
    user_contents.append(request_text(state, questions));
    nb::list messages;
    messages.append(Message(nb::arg("role") = MessageRole.attr("SYSTEM"), nb::arg("contents") = system_contents));
    messages.append(Message(nb::arg("role") = MessageRole.attr("USER"), nb::arg("contents") = user_contents));
    nb::object result = co_await self.attr("lm_invoker").attr("invoke")(
        nb::arg("messages") = messages, nb::arg("hyperparameters") = hyperparameters,
        nb::arg("event_emitter") = nb::none());
    bool lm_output = nb::isinstance(result, LMOutput.get());
    nb::object answers = answer_object(nb::str(lm_output ? nb::object(result.attr("text")) : result));
    nb::dict decided;
    for (nb::handle name : questions) {
        decided[name] = VeskAnswer(nb::arg("vesk") = probability(answers, name));
    }
    co_return DMOutput(nb::arg("answers") = decided,
                       nb::arg("token_usage") = lm_output ? nb::object(result.attr("token_usage")) : nb::none());
}

pyasync::VoidTask aclose(nb::object self) {
    co_await self.attr("lm_invoker").attr("aclose")();
}

}  // namespace

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
            .method(
                "invoke",
                [](nb::handle self, nb::handle state, nb::handle questions, nb::handle hyperparameters,
                   nb::handle) {
                    // Trace attributes are for tracing back ends; this stand-in has none.
                    return invoke(nb::borrow(self), nb::borrow(state), nb::borrow(questions),
                                  nb::borrow(hyperparameters))
                        .named("invoke", "LMBasedDMInvoker.invoke")
                        .to_python();
                },
                nb::arg("state"), nb::arg("questions"), nb::arg("hyperparameters").none(),
                nb::arg("trace_attributes").none(),
                "Ask every question in one language-model call (asynchronous) and return a DMOutput with one "
                "VeskAnswer per question name. An answer that is not a JSON object of probabilities raises "
                "InvokerRuntimeError.")
            .method("aclose", &aclose, "Close the language-model invoker's connections (asynchronous).")
            .build());
    pyhost::set_all(m, {"LMBasedDMInvoker"});
}

}  // namespace vadrel_inference
