// The module `vadrel_guardrail.adapter.nemo_adapter`: the maker's language-model invokers seen by
// NeMo Guardrails as one model (its `LLMModel` protocol), with ordered fall-back and streaming.
#include <exception>
#include <optional>
#include <utility>

#include "pyasync/pyasync.hpp"
#include "pyhost/classes.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {
namespace {

constexpr const char *kProviderName = "vadrel_invoker";
constexpr const char *kClassName = "NeMoLMAdapter";

pyhost::Global this_module;  // the logger is read from it at each use, as module code would
pyhost::Global mapping_abc;
pyhost::Global create_task;
pyhost::Global queue_class;
pyhost::Global json_dumps;
pyhost::Global EventType;
pyhost::Global EventValueType;
pyhost::Global EventEmitter;
pyhost::Global BaseEventHandler;
pyhost::Global BaseInvokerError;
pyhost::Global InvokerRuntimeError;
pyhost::Global LMOutput;
pyhost::Global Message;
pyhost::Global MessageRole;
pyhost::Global LLMResponse;
pyhost::Global LLMResponseChunk;
pyhost::Global UsageInfo;
pyhost::Global StreamDone;       // `_STREAM_DONE`
pyhost::Global QueueEventHandler;
pyhost::Global background_tasks;  // strong references: the event loop keeps only weak ones

// `str(value)`: nanobind's str constructor would take an attribute accessor's value as it is.
nb::object to_text(nb::handle value) {
    return pyhost::owned(PyObject_Str(value.ptr()));
}

void warn(nb::handle message) {
    this_module.attr("logger").attr("warning")(message);
}

[[noreturn]] void raise_runtime_error(const char *message) {
    pyhost::raise(InvokerRuntimeError(kClassName, message));
}

// `first, second = pair`, with Python's own messages when the shape is wrong.
std::pair<nb::object, nb::object> unpack_pair(nb::handle pair) {
    nb::object items = pyhost::owned(PySequence_Tuple(pair.ptr()));
    Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    if (n > 2) pyhost::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (n < 2) pyhost::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    return {nb::borrow(PyTuple_GET_ITEM(items.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(items.ptr(), 1))};
}

// ---- the queue event handler ---------------------------------------------------------------

void handler_init(nb::handle self) {
    BaseEventHandler.attr("__init__")(self, nb::arg("name") = "NeMoLMAdapterQueueEventHandler");
    nb::setattr(self, "queue", queue_class());
}

// An unbounded queue never makes a put wait, so nothing here suspends.
pyasync::VoidTask handler_emit(nb::object self, nb::object event) {
    self.attr("queue").attr("put_nowait")(event);
    co_return;
}

pyasync::VoidTask handler_close(nb::object self) {
    self.attr("queue").attr("put_nowait")(StreamDone.get());
    co_return;
}

pyasync::AsyncGen handler_stream(nb::object self) {
    nb::object get = self.attr("queue").attr("get");
    for (;;) {
        nb::object item = co_await get();
        if (item.is(StreamDone.get())) {
            co_return;  // whatever was queued behind the sentinel stays unread
        }
        co_yield item;
    }
}

// ---- construction and identity -------------------------------------------------------------

void ensure_invoker(nb::handle self) {
    if (!self.attr("_invoker").is_none()) {
        return;
    }
    nb::object lm_invoker = self.attr("lm_invoker");
    if (!lm_invoker.is_none()) {
        nb::setattr(self, "_invoker", lm_invoker);
        return;
    }
    nb::object model = self.attr("model");
    if (model.is_none() || (PyUnicode_Check(model.ptr()) && PyUnicode_GetLength(model.ptr()) == 0)) {
        pyhost::raise(PyExc_ValueError, "Either 'lm_invoker' or 'model' must be provided to initialize NeMoLMAdapter.");
    }
    nb::str message = nb::str("'lm_invoker' must be provided when using model '{}' with NeMoLMAdapter.").format(model);
    pyhost::raise(PyExc_ValueError, "%U", message.ptr());
}

void adapter_init(nb::handle self, nb::handle model, nb::handle lm_invoker, nb::handle fallback_lms, nb::kwargs) {
    nb::setattr(self, "model", model);
    nb::setattr(self, "lm_invoker", lm_invoker);
    // The caller's list is held (not copied) only when it has something in it.
    nb::setattr(self, "fallback_lms", !fallback_lms.is_none() && pyhost::truth(fallback_lms) ? nb::borrow(fallback_lms)
                                                                                     : nb::object(nb::list()));
    nb::setattr(self, "_invoker", nb::none());
    self.attr("_ensure_invoker")();
}

nb::object model_name(nb::handle self) {
    nb::object lm_invoker = self.attr("lm_invoker");
    if (!lm_invoker.is_none()) {
        return to_text(lm_invoker.attr("model_id"));
    }
    nb::object model = self.attr("model");
    if (!model.is_none() && pyhost::truth(model)) {
        return to_text(model);
    }
    return nb::str("unknown");
}

// ---- message conversion and hyperparameters ------------------------------------------------

nb::object lookup_role(nb::handle table, nb::handle role) {
    PyObject *found = PyObject_GetItem(table.ptr(), role.ptr());
    if (found) {
        return nb::steal(found);
    }
    // A role that is not a key, or cannot be one (unhashable), is an unsupported role, not an error.
    if (PyErr_ExceptionMatches(PyExc_KeyError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return nb::object();
    }
    throw nb::python_error();
}

nb::object content_text(nb::handle content) {
    if (PyUnicode_Check(content.ptr())) {
        return nb::borrow(content);
    }
    // A message without content (an assistant turn that only called tools) has no text; the word
    // "None" would reach the model as if the message had said it.
    if (content.is_none()) {
        return nb::str("");
    }
    return to_text(content);  // lossy: multimodal parts become their printed form
}

nb::object make_message(nb::handle role, nb::handle text) {
    nb::list contents;
    contents.append(text);
    return Message(nb::arg("role") = role, nb::arg("contents") = contents);
}

nb::object convert_messages(nb::handle self, nb::handle prompt) {
    nb::list messages;
    nb::object user = MessageRole.attr("USER");
    if (PyUnicode_Check(prompt.ptr())) {
        messages.append(make_message(user, prompt));
        return messages;
    }
    nb::object table = self.attr("_ROLE_STRING_MAP");
    nb::str tool("tool");
    for (nb::handle item : prompt) {
        nb::object role = item.attr("role");
        if (role.equal(tool)) {
            warn(nb::str("Tool-role messages are not supported; skipping."));
            continue;
        }
        nb::object mapped = lookup_role(table, role);
        if (!mapped.is_valid()) {
            warn(nb::str("Unsupported role {!r}; mapping to MessageRole.USER.").format(role));
            mapped = user;
        }
        messages.append(make_message(mapped, content_text(item.attr("content"))));
    }
    return messages;
}

nb::object build_hyperparameters(nb::handle stop, nb::handle kwargs) {
    nb::dict params;
    if (!kwargs.is_none()) {
        pyhost::status(PyDict_Merge(params.ptr(), kwargs.ptr(), 1));
    }
    nb::object nested = params.attr("pop")("hyperparameters", nb::none());
    // Nested entries win over plain keyword arguments; a nested value that is not a mapping is dropped.
    if (!nested.is_none() && (PyDict_Check(nested.ptr()) || nb::isinstance(nested, mapping_abc.get()))) {
        pyhost::status(PyDict_Merge(params.ptr(), nested.ptr(), 1));
    }
    if (!stop.is_none() && pyhost::truth(stop)) {
        params["stop"] = stop;
    }
    if (nb::len(params) == 0) {
        return nb::none();
    }
    return params;
}

// ---- invocation and response building ------------------------------------------------------

pyasync::Task invoke_with_fallback_body(nb::object self, nb::object messages, nb::object hyperparameters,
                                        nb::object event_emitter) {
    nb::object primary = self.attr("_invoker");
    if (primary.is_none()) {
        raise_runtime_error("Primary invoker is not initialized.");
    }
    nb::list chain;
    chain.append(primary);
    for (nb::handle invoker : self.attr("fallback_lms")) {
        chain.append(invoker);
    }

    nb::object last_error;
    for (nb::handle item : chain) {
        nb::object invoker = nb::borrow(item);
        nb::object failure;
        try {
            nb::object result = co_await invoker.attr("invoke")(nb::arg("messages") = messages,
                                                                nb::arg("hyperparameters") = hyperparameters,
                                                                nb::arg("event_emitter") = event_emitter);
            nb::object usage =
                nb::isinstance(result, LMOutput.get()) ? nb::object(result.attr("token_usage")) : nb::none();
            nb::object resolved = self.attr("_resolve_invoke_result")(invoker, result);
            co_return nb::make_tuple(resolved, usage);
        } catch (nb::python_error &e) {
            // Only a failed or timed-out model call moves on; anything else, a cancellation
            // included, is not the invoker's failure to answer and leaves at once.
            if (!e.matches(BaseInvokerError.get()) && !e.matches(PyExc_TimeoutError)) {
                throw;
            }
            failure = nb::borrow(e.value());
        }
        warn(nb::str("Invoker {!r} failed with {}. Falling back to next invoker.")
                 .format(invoker.attr("model_id"), failure.type().attr("__name__")));
        last_error = std::move(failure);
    }
    if (last_error.is_valid()) {
        pyhost::raise(last_error);
    }
    raise_runtime_error("All invokers failed with no exception captured.");
}

nb::object invoke_with_fallback(nb::object self, nb::object messages, nb::object hyperparameters,
                                nb::object event_emitter) {
    return std::move(invoke_with_fallback_body(std::move(self), std::move(messages), std::move(hyperparameters),
                                               std::move(event_emitter)))
        .named("_invoke_with_fallback", "NeMoLMAdapter._invoke_with_fallback")
        .to_python();
}

nb::object resolve_invoke_result(nb::handle invoker, nb::handle result) {
    if (nb::getattr(invoker, "response_schema", nb::none()).is_none()) {
        return nb::borrow(result);
    }
    if (nb::isinstance(result, LMOutput.get())) {
        nb::object structured = result.attr("structured_output");
        if (!structured.is_none()) {
            return structured;
        }
    }
    warn(nb::str("Invoker {!r} has response_schema configured but returned no structured_output; falling back to "
                 "raw result.")
             .format(invoker.attr("model_id")));
    return nb::borrow(result);
}

nb::object serialize_structured_output(nb::handle result) {
    try {
        nb::object data;
        if (PyDict_Check(result.ptr())) {
            data = nb::borrow(result);
        } else if (nb::hasattr(result, "model_dump")) {
            data = result.attr("model_dump")(nb::arg("mode") = "json", nb::arg("by_alias") = true);
        } else {
            data = nb::borrow(result);  // any other JSON value (a list, a number) is written as it is
        }
        return json_dumps(data, nb::arg("ensure_ascii") = false);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError)) {
            warn(nb::str("Failed to serialize structured output: {}").format(e.value()));
        }
        throw;
    }
}

nb::object usage_info(nb::handle token_usage) {
    nb::object input_tokens = token_usage.attr("input_tokens");
    nb::object output_tokens = token_usage.attr("output_tokens");
    // NeMo Guardrails reads the total for its call statistics; its own models fill it in too.
    return UsageInfo(nb::arg("input_tokens") = input_tokens, nb::arg("output_tokens") = output_tokens,
                     nb::arg("total_tokens") = input_tokens + output_tokens);
}

nb::object build_llm_response(nb::handle self, nb::handle result, nb::handle token_usage) {
    nb::object usage = nb::none();
    nb::object text;
    if (nb::isinstance(result, LMOutput.get())) {
        nb::object own_usage = result.attr("token_usage");
        if (pyhost::truth(own_usage)) {
            usage = usage_info(own_usage);
        }
        text = result.attr("text");
    } else {
        // An invoker may answer with plain text: that text is the answer, not a value to encode.
        text = PyUnicode_Check(result.ptr()) ? nb::borrow(result)
                                             : nb::object(self.attr("_serialize_structured_output")(result));
        if (!token_usage.is_none() && pyhost::truth(token_usage)) {
            usage = usage_info(token_usage);
        }
    }
    return LLMResponse(nb::arg("content") = text, nb::arg("usage") = usage);
}

pyasync::Task generate_body(nb::object self, nb::object prompt, nb::object stop, nb::kwargs kwargs) {
    nb::object messages = self.attr("_convert_messages")(prompt);
    nb::object hyperparameters = self.attr("_build_hyperparameters")(stop, kwargs);
    nb::object outcome = co_await self.attr("_invoke_with_fallback")(messages, hyperparameters);
    auto [result, token_usage] = unpack_pair(outcome);
    co_return self.attr("_build_llm_response")(result, token_usage);
}

nb::object generate_async(nb::object self, nb::object prompt, nb::object stop, nb::kwargs kwargs) {
    return std::move(generate_body(std::move(self), std::move(prompt), std::move(stop), std::move(kwargs)))
        .named("generate_async", "NeMoLMAdapter.generate_async")
        .to_python();
}

// ---- streaming -----------------------------------------------------------------------------

// The background invocation: the whole fall-back chain, then the emitter's close however the chain
// ended, so that the reader's queue always gets its sentinel.
pyasync::Task invoke_then_close(nb::object self, nb::object messages, nb::object hyperparameters,
                                nb::object emitter) {
    nb::object outcome;
    pyasync::Caught failure;
    try {
        outcome = co_await self.attr("_invoke_with_fallback")(messages, hyperparameters, emitter);
    } catch (...) {
        failure.capture();
    }
    try {
        co_await emitter.attr("close")();
    } catch (nb::python_error &e) {
        // A failing close replaces the outcome, chained to the failure it followed, as `finally` does.
        if (failure) {
            PyException_SetContext(e.value().ptr(), failure->value().inc_ref().ptr());
        }
        throw;
    }
    failure.rethrow();
    co_return outcome;
}

pyasync::AsyncGen stream_body(nb::object self, nb::object prompt, nb::object stop, nb::kwargs kwargs) {
    nb::object messages = self.attr("_convert_messages")(prompt);
    nb::object hyperparameters = self.attr("_build_hyperparameters")(stop, kwargs);
    nb::object handler = QueueEventHandler();
    nb::list handlers;
    handlers.append(handler);
    nb::object emitter = EventEmitter(nb::arg("handlers") = handlers);

    nb::object task = create_task(
        invoke_then_close(self, messages, hyperparameters, emitter).named("_invoke", "NeMoLMAdapter.stream_async.<locals>._invoke").to_python());
    background_tasks.attr("add")(task);
    // Should the emitter's close fail before it queued the sentinel, the finished task ends the
    // reader's stream instead of leaving it waiting for ever; a second sentinel is never read.
    nb::object queue = handler.attr("queue");
    task.attr("add_done_callback")(nb::cpp_function([queue](nb::handle) { queue.attr("put_nowait")(StreamDone.get()); }));
    task.attr("add_done_callback")(background_tasks.attr("discard"));

    nb::object response_type = EventType.attr("RESPONSE");
    nb::object text_type = EventValueType.attr("TEXT");
    pyasync::AsyncIter events(handler.attr("stream")());
    while (std::optional<nb::object> event = co_await events.next()) {
        if ((*event).attr("type").equal(response_type) && (*event).attr("value_type").equal(text_type)) {
            co_yield LLMResponseChunk(nb::arg("delta_content") = (*event).attr("value"),
                                      nb::arg("finish_reason") = nb::none());
        }
    }

    nb::object outcome = co_await task;
    auto [result, token_usage] = unpack_pair(outcome);
    nb::object response = self.attr("_build_llm_response")(result, token_usage);
    co_yield LLMResponseChunk(nb::arg("finish_reason") = "stop", nb::arg("usage") = response.attr("usage"));
}

pyasync::AsyncGen stream_async(nb::object self, nb::object prompt, nb::object stop, nb::kwargs kwargs) {
    return stream_body(std::move(self), std::move(prompt), std::move(stop), std::move(kwargs))
        .named("stream_async", "NeMoLMAdapter.stream_async");
}

// ---- module --------------------------------------------------------------------------------

void import_names(nb::module_ m) {
    struct Name {
        const char *module;
        const char *name;
        pyhost::Global *keep;
    };
    const Name names[] = {
        {"vadrel_core.constants", "EventType", &EventType},
        {"vadrel_core.constants", "EventValueType", &EventValueType},
        {"vadrel_core.event", "EventEmitter", &EventEmitter},
        {"vadrel_core.event.handler.event_handler", "BaseEventHandler", &BaseEventHandler},
        {"vadrel_core.schema", "Event", nullptr},
        {"vadrel_core.utils", "LoggerManager", nullptr},
        {"vadrel_inference.exceptions", "BaseInvokerError", &BaseInvokerError},
        {"vadrel_inference.exceptions", "InvokerRuntimeError", &InvokerRuntimeError},
        {"vadrel_inference.lm_invoker.lm_invoker", "BaseLMInvoker", nullptr},
        {"vadrel_inference.schema", "LMOutput", &LMOutput},
        {"vadrel_inference.schema", "Message", &Message},
        {"vadrel_inference.schema", "MessageRole", &MessageRole},
        {"vadrel_inference.schema", "TokenUsage", nullptr},
        {"nemoguardrails", "ChatMessage", nullptr},
        {"nemoguardrails", "LLMResponse", &LLMResponse},
        {"nemoguardrails", "LLMResponseChunk", &LLMResponseChunk},
        {"nemoguardrails", "UsageInfo", &UsageInfo},
        {"pydantic", "BaseModel", nullptr},
    };
    // Bound in the module as `from ... import ...` binds them.
    for (const Name &n : names) {
        nb::object value = pyhost::import_from(n.module, n.name);
        m.attr(n.name) = value;
        if (n.keep) {
            n.keep->set(value);
        }
    }
    nb::module_ asyncio = nb::module_::import_("asyncio");
    nb::module_ json = nb::module_::import_("json");
    m.attr("asyncio") = asyncio;
    m.attr("json") = json;
    create_task.set(asyncio.attr("create_task"));
    queue_class.set(asyncio.attr("Queue"));
    json_dumps.set(json.attr("dumps"));
    mapping_abc.set(pyhost::import_from("collections.abc", "Mapping"));
}

void define_handler(nb::module_ m) {
    QueueEventHandler.set(
        pyhost::ClassBuilder(m, "_QueueEventHandler", "Puts every event it receives on its own unbounded queue.")
            .base(BaseEventHandler.get())
            .method("__init__", &handler_init, "A handler with a fresh, empty, unbounded queue.")
            .method("emit", &handler_emit,
                nb::arg("event").none(), "Queue one event (asynchronous).")
            .method("close", &handler_close,
                "Queue the end-of-stream sentinel (asynchronous).")
            .method("stream", &handler_stream,
                "The queued events in arrival order, up to the sentinel (asynchronous generator).")
            .build());
}

void define_adapter(nb::module_ m) {
    nb::dict roles;
    roles["system"] = MessageRole.attr("SYSTEM");
    roles["assistant"] = MessageRole.attr("ASSISTANT");
    roles["ai"] = MessageRole.attr("ASSISTANT");
    roles["user"] = MessageRole.attr("USER");
    roles["human"] = MessageRole.attr("USER");

    pyhost::ClassBuilder(m, kClassName,
                         "NeMo Guardrails model over the maker's language-model invokers: a primary invoker and "
                         "ordered fall-backs.")
        .attr("_ROLE_STRING_MAP", roles)
        .method("__init__", &adapter_init, nb::arg("model").none(),
                nb::arg("lm_invoker").none(), nb::arg("fallback_lms").none(),
                nb::arg("kwargs"), "Adapt a primary invoker and its fall-backs; further keywords are ignored.")
        .property("model_name", &model_name, "The primary invoker's model id as text, else the model, else 'unknown'.")
        .property("provider_name", [](nb::handle) { return nb::str(kProviderName); },
                  "The provider name the adapter is registered under.")
        .property("provider_url", [](nb::handle) { return nb::none(); }, "No provider address applies.")
        .method("_ensure_invoker", &ensure_invoker, "Fix the invoker tried first; refuse a model without an invoker.")
        .method("generate_async", &generate_async, nb::arg("prompt").none(), nb::kw_only(),
                nb::arg("stop").none(), nb::arg("kwargs"),
                "Answer the prompt through the invokers, falling back in order (asynchronous).")
        .staticmethod("_build_hyperparameters", &build_hyperparameters, nb::arg("stop").none(),
                      nb::arg("kwargs").none(),
                      "Keyword arguments, then a nested 'hyperparameters' mapping, then a non-empty stop; none if empty.")
        .method("stream_async", &stream_async, nb::arg("prompt").none(), nb::kw_only(),
                nb::arg("stop").none(), nb::arg("kwargs"),
                "Answer the prompt as text deltas as the invoker emits them, then a final chunk with the usage "
                "(asynchronous generator).")
        .method("_convert_messages", &convert_messages, nb::arg("prompt").none(),
                "The prompt as the invokers' messages.")
        .method("_invoke_with_fallback", &invoke_with_fallback, nb::arg("messages").none(),
                nb::arg("hyperparameters").none(), nb::arg("event_emitter").none() = nb::none(),
                "Try the primary, then each fall-back after an invoker error or a time-out; return (result, token "
                "usage) (asynchronous).")
        .staticmethod("_resolve_invoke_result", &resolve_invoke_result, nb::arg("invoker").none(),
                      nb::arg("result").none(), "The structured output when the invoker has a response schema.")
        .staticmethod("_serialize_structured_output", &serialize_structured_output, nb::arg("result").none(),
                      "Structured output as JSON text.")
        .method("_build_llm_response", &build_llm_response, nb::arg("result").none(),
                nb::arg("token_usage").none() = nb::none(), "The result as NeMo Guardrails' response.")
        .build();
}

}  // namespace

void init_nemo_adapter(nb::module_ m) {
    this_module.set(m);
    import_names(m);
    m.attr("logger") = pyhost::import_from("vadrel_core.utils", "LoggerManager")().attr("get_logger")(m.attr("__name__"));

    nb::object any = pyhost::import_from("typing", "Any");
    nb::object dict_of = nb::borrow(nb::handle(reinterpret_cast<PyObject *>(&PyDict_Type)))[nb::make_tuple(
        nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)), any)];
    m.attr("InvokeResult") =
        pyhost::import_from("typing", "Union")[nb::make_tuple(LMOutput.get(), dict_of, m.attr("BaseModel"))];

    StreamDone.set(nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))());
    m.attr("_STREAM_DONE") = StreamDone.get();
    background_tasks.set(nb::set());

    define_handler(m);
    define_adapter(m);
}

}  // namespace vadrel_guardrail
