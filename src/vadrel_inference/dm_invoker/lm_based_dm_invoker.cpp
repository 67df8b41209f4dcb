#include <cmath>
#include <string>

#include <nanobind/stl/string.h>

#include "pyasync/pyasync.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/errors.hpp"
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

[[noreturn]] void fail(const std::string &message, nb::handle cause = nb::handle()) {
    raise_runtime_error(kClassName, message, cause);
}

// The state and the questions as one JSON document; values JSON cannot hold are given as text.
std::string request_text(nb::handle state, nb::handle questions) {
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
    return pyhost::text(nb::module_::import_("json").attr("dumps")(document, nb::arg("default") = nb::handle(&PyUnicode_Type),
                                                              nb::arg("ensure_ascii") = false));
}

// The JSON object of the answer, also when the model wrapped it in prose or a code fence.
nb::object answer_object(const std::string &text) {
    auto open = text.find('{');
    auto close = text.rfind('}');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        fail("malformed decision: no JSON object in the answer: " + text.substr(0, 200));
    }
    nb::object parsed;
    try {
        parsed = nb::module_::import_("json").attr("loads")(text.substr(open, close - open + 1));
    } catch (nb::python_error &e) {
        fail("malformed decision: " + pyhost::text(e.value()), e.value());
    }
    if (!nb::isinstance<nb::dict>(parsed)) {
        fail("malformed decision: the answer is not a JSON object");
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
        fail("malformed decision: no answer for " + pyhost::text(nb::repr(name)));
    }
    bool number = (nb::isinstance<nb::int_>(value) || nb::isinstance<nb::float_>(value)) &&
                  !nb::isinstance<nb::bool_>(value);
    double p = number ? nb::cast<double>(value) : NAN;
    if (!number || !(p >= 0.0 && p <= 1.0)) {
        fail("malformed decision: the answer for " + pyhost::text(nb::repr(name)) + " is not a probability: " +
             pyhost::text(nb::repr(value)));
    }
    return nb::float_(p);
}

pyasync::Task invoke(nb::object self, nb::object state, nb::object questions, nb::object hyperparameters) {
    nb::list system_contents;
    system_contents.append(nb::str(kInstructions));
    nb::list user_contents;
    user_contents.append(nb::str(request_text(state, questions).c_str()));
    nb::list messages;
    messages.append(Message(nb::arg("role") = MessageRole.attr("SYSTEM"), nb::arg("contents") = system_contents));
    messages.append(Message(nb::arg("role") = MessageRole.attr("USER"), nb::arg("contents") = user_contents));
    nb::object result = co_await self.attr("lm_invoker").attr("invoke")(
        nb::arg("messages") = messages, nb::arg("hyperparameters") = hyperparameters,
        nb::arg("event_emitter") = nb::none());
    bool lm_output = nb::isinstance(result, LMOutput.get());
    nb::object answers = answer_object(pyhost::text(lm_output ? nb::object(result.attr("text")) : result));
    nb::dict decided;
    for (nb::handle name : questions) {
        decided[name] = VeskAnswer(nb::arg("vesk") = probability(answers, name));
    }
    co_return DMOutput(nb::arg("answers") = decided,
                       nb::arg("token_usage") = lm_output ? nb::object(result.attr("token_usage")) : nb::none());
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
                nb::arg("state"), nb::arg("questions"), nb::arg("hyperparameters").none() = nb::none(),
                nb::arg("trace_attributes").none() = nb::none(),
                "Ask every question in one language-model call (asynchronous) and return a DMOutput with one "
                "VeskAnswer per question name. An answer that is not a JSON object of probabilities raises "
                "InvokerRuntimeError.")
            .build());
    pyhost::set_all(m, {"LMBasedDMInvoker"});
}

}  // namespace vadrel_inference
