// `vadrel_inference.lm_invoker.openai_compatible_lm_invoker`: OpenAICompatibleLMInvoker, which posts chat
// completions over httpx (streamed or not), with retries and one deadline for the whole call.
#include <climits>
#include <cmath>
#include <optional>
#include <string>

#include <nanobind/stl/string.h>

#include "pyasync/pyasync.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_inference/errors.hpp"
#include "vadrel_inference/lm_invoker/client_pool.hpp"
#include "vadrel_inference/lm_invoker/retry.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

pyhost::Global OpenAICompatibleLMInvoker;

namespace {

constexpr const char *kClassName = "OpenAICompatibleLMInvoker";

// Loaded at the first call, never at import: importing httpx reads its modules and certificates.
nb::object httpx() {
    return nb::module_::import_("httpx");
}

// One TLS context for every call: building it reads the certificate bundle.
nb::object ssl_context() {
    static pyhost::Global context;
    if (!context) {
        context.set(httpx().attr("create_ssl_context")());
    }
    return nb::borrow(context.get());
}

nb::object event_class() {
    static pyhost::Global cls;
    if (!cls) {
        cls.set(pyhost::import_from("vadrel_core.schema", "Event"));
    }
    return nb::borrow(cls.get());
}

nb::object event_type(const char *member) {
    return pyhost::import_from("vadrel_core.constants", "EventType").attr(member);
}

nb::object event_value_type(const char *member) {
    return pyhost::import_from("vadrel_core.constants", "EventValueType").attr(member);
}

// Messages are built as Python text (not converted through UTF-8): they may carry whatever a service or a model wrote.
[[noreturn]] void fail(nb::handle message, nb::handle cause = nb::handle()) {
    raise_runtime_error(kClassName, message, cause);
}

nb::object get(nb::handle mapping, const char *key) {
    return mapping.attr("get")(key);
}

bool is_dict(nb::handle value) {
    return nb::isinstance<nb::dict>(value);
}

// The request's messages: a message's contents are joined into one text.
nb::list request_messages(nb::handle messages) {
    nb::str separator("\n");
    nb::list out;
    for (nb::handle message : messages) {
        nb::list parts;
        for (nb::handle part : message.attr("contents")) {
            parts.append(nb::str(part));
        }
        nb::object content = pyhost::owned(PyUnicode_Join(separator.ptr(), parts.ptr()));
        nb::dict entry;
        entry["role"] = nb::str(message.attr("role"));
        entry["content"] = content;
        out.append(entry);
    }
    return out;
}

// The request body as UTF-8 JSON. Text may hold lone surrogates (json.loads makes one of an
// escaped surrogate without its pair), which UTF-8 cannot encode: they are written as JSON
// itself writes them, as a backslash, "u" and four hex digits. Outside its string literals
// JSON text is ASCII, so every surrogate is inside one, where the escape stands for it.
nb::bytes json_body(nb::handle payload) {
    nb::object text = nb::module_::import_("json").attr("dumps")(
        payload, nb::arg("ensure_ascii") = false, nb::arg("separators") = nb::make_tuple(",", ":"),
        nb::arg("allow_nan") = false);
    Py_ssize_t size = 0;
    if (const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
        return nb::bytes(utf8, static_cast<std::size_t>(size));
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    PyObject *p = text.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(p);
    const int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    std::string out;
    out.reserve(static_cast<std::size_t>(length) + 16);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return nb::bytes(out.data(), out.size());
}

nb::dict response_format(nb::handle schema) {
    nb::dict json_schema;
    if (nb::hasattr(schema, "model_json_schema")) {
        json_schema["name"] = schema.attr("__name__");
        json_schema["schema"] = schema.attr("model_json_schema")();
    } else {
        json_schema["name"] = get(schema, "title").is_none() ? nb::object(nb::str("response")) : get(schema, "title");
        json_schema["schema"] = schema;
    }
    nb::dict format;
    format["type"] = "json_schema";
    format["json_schema"] = json_schema;
    return format;
}

nb::dict request_body(nb::handle self, nb::handle messages, nb::handle hyperparameters, bool stream) {
    nb::dict payload;
    payload.update(self.attr("default_hyperparameters"));
    if (!hyperparameters.is_none()) {
        payload.update(hyperparameters);
    }
    nb::object schema = self.attr("response_schema");
    if (!schema.is_none() && !payload.contains("response_format")) {
        payload["response_format"] = response_format(schema);
    }
    // Whether to stream is the invoker's decision: it streams exactly when there is an emitter.
    payload.attr("pop")("stream", nb::none());
    payload.attr("pop")("stream_options", nb::none());
    if (stream) {
        nb::dict options;
        options["include_usage"] = true;
        payload["stream"] = true;
        payload["stream_options"] = options;
    }
    payload["model"] = self.attr("model_name");
    payload["messages"] = request_messages(messages);
    return payload;
}

nb::object token_usage(nb::handle usage) {
    if (!is_dict(usage)) {
        return nb::none();
    }
    nb::object input = get(usage, "prompt_tokens");
    nb::object output = get(usage, "completion_tokens");
    return TokenUsage(nb::arg("input_tokens") = nb::isinstance<nb::int_>(input) ? input : nb::int_(0),
                      nb::arg("output_tokens") = nb::isinstance<nb::int_>(output) ? output : nb::int_(0));
}

[[noreturn]] void fail_with_error_object(nb::handle error) {
    nb::object message = is_dict(error) ? get(error, "message") : nb::none();
    fail(nb::str("the service answered with an error: {}").format(message.is_none() ? nb::handle(error) : message));
}

// HTTP errors, with the service's own error message when its body carries one.
void check_status(nb::handle response, nb::handle url) {
    int status = nb::cast<int>(response.attr("status_code"));
    if (status < 400) {
        return;
    }
    nb::str detail(response.attr("text"));
    try {
        nb::object body = nb::module_::import_("json").attr("loads")(detail);
        if (is_dict(body) && is_dict(get(body, "error")) && !get(get(body, "error"), "message").is_none()) {
            detail = nb::str(get(get(body, "error"), "message"));
        }
    } catch (nb::python_error &) {
        // Not JSON: the raw text is the detail.
    }
    nb::str shown = utf8_prefix(detail, 500);
    if (!shown.equal(detail)) {
        shown = nb::str("{}...").format(shown);
    }
    fail(nb::str("HTTP {} from {}: {}").format(status, url, shown));
}

nb::object output(nb::handle self, nb::handle text, nb::handle usage) {
    nb::object structured = nb::none();
    nb::object schema = self.attr("response_schema");
    if (!schema.is_none()) {
        try {
            structured = nb::hasattr(schema, "model_validate_json")
                             ? schema.attr("model_validate_json")(text)
                             : nb::module_::import_("json").attr("loads")(text);
        } catch (nb::python_error &e) {
            fail(nb::str("the answer does not fit the response schema: {}").format(e.value()), e.value());
        }
    }
    return LMOutput(nb::arg("text") = text, nb::arg("structured_output") = structured,
                    nb::arg("token_usage") = token_usage(usage));
}

nb::object plain_answer(nb::handle self, nb::handle response) {
    nb::object body;
    try {
        body = response.attr("json")();
    } catch (nb::python_error &e) {
        fail(nb::str("malformed answer: not JSON: {}").format(e.value()), e.value());
    }
    if (!is_dict(body)) {
        fail(nb::str("malformed answer: expected a JSON object"));
    }
    if (!get(body, "error").is_none()) {
        fail_with_error_object(get(body, "error"));
    }
    nb::object choices = get(body, "choices");
    if (!nb::isinstance<nb::list>(choices) || nb::len(choices) == 0 || !is_dict(choices[0]) ||
        !is_dict(get(choices[0], "message"))) {
        fail(nb::str("malformed answer: no choice with a message"));
    }
    nb::object content = get(get(choices[0], "message"), "content");
    if (!content.is_none() && !nb::isinstance<nb::str>(content)) {
        fail(nb::str("malformed answer: the message content is not text"));
    }
    return output(self, content.is_none() ? nb::str("") : nb::str(content), get(body, "usage"));
}

// The value of a server-sent event's `data:` line, without the blanks around it; none for any
// other line. Lines stay Python text: a stream may carry any text.
std::optional<nb::str> event_data(nb::handle line) {
    nb::object s = line.attr("lstrip")(" \t").attr("rstrip")(" \t\r");
    if (!pyhost::status(PyUnicode_Tailmatch(s.ptr(), nb::str("data:").ptr(), 0, PY_SSIZE_T_MAX, -1))) {
        return std::nullopt;
    }
    nb::object rest = pyhost::owned(PyUnicode_Substring(s.ptr(), 5, PY_SSIZE_T_MAX));
    return nb::str(rest.attr("strip")(" \t"));
}

// Server-sent events: each `data:` line is one JSON chunk; "[DONE]" ends the answer.
pyasync::Task read_stream(nb::object self, nb::object response, nb::object url, nb::object emitter) {
    if (nb::cast<int>(response.attr("status_code")) >= 400) {
        co_await response.attr("aread")();
        check_status(response, url);
    }
    nb::object loads = nb::module_::import_("json").attr("loads");
    pyasync::AsyncIter lines(response.attr("aiter_lines")());
    nb::list pieces;
    nb::object usage = nb::none();
    bool saw_data = false;
    bool done = false;
    while (std::optional<nb::object> line = co_await lines.next()) {
        std::optional<nb::str> data = event_data(*line);
        if (!data) {
            continue;  // blank separators, comments and other fields carry no answer
        }
        saw_data = true;
        if (data->equal(nb::str("[DONE]"))) {
            done = true;
            break;
        }
        nb::object chunk;
        try {
            chunk = loads(*data);
        } catch (nb::python_error &e) {
            fail(nb::str("malformed streamed answer: an event is not JSON: {}").format(e.value()), e.value());
        }
        if (!is_dict(chunk)) {
            fail(nb::str("malformed streamed answer: an event is not a JSON object"));
        }
        if (!get(chunk, "error").is_none()) {
            fail_with_error_object(get(chunk, "error"));
        }
        if (!get(chunk, "usage").is_none()) {
            usage = get(chunk, "usage");
        }
        nb::object choices = get(chunk, "choices");
        if (!nb::isinstance<nb::list>(choices) || nb::len(choices) == 0) {
            continue;  // the usage chunk has no choices
        }
        nb::object delta = is_dict(choices[0]) ? get(choices[0], "delta") : nb::none();
        nb::object piece = is_dict(delta) ? get(delta, "content") : nb::none();
        if (!nb::isinstance<nb::str>(piece) || nb::len(piece) == 0) {
            continue;
        }
        pieces.append(piece);
        nb::object event = event_class()(nb::arg("type") = event_type("RESPONSE"),
                                          nb::arg("value_type") = event_value_type("TEXT"), nb::arg("value") = piece);
        co_await emitter.attr("emit")(event);
    }
    if (done) {
        co_await lines.aclose();
    }
    if (!saw_data) {
        fail(nb::str("malformed streamed answer: no data events"));
    }
    co_return output(self, nb::str("").attr("join")(pieces), usage);
}

// The answer of a response whose status is final: the service's error, or the model's answer.
pyasync::Task answer(nb::object self, nb::object response, nb::object url, nb::object emitter) {
    if (emitter.is_none()) {
        check_status(response, url);
        co_return plain_answer(self, response);
    }
    pyasync::Caught failure;
    nb::object result;
    try {
        result = co_await read_stream(self, response, url, emitter);
    } catch (...) {
        failure.capture();
    }
    co_await response.attr("aclose")();
    failure.rethrow();
    co_return result;
}

nb::object asyncio_attr(const char *name) {
    return pyhost::import_from("asyncio", name);
}

// Attempts until one gets a final answer, a failure that a retry would not mend, or no retry is left
// before the deadline. A streamed answer is retried only before its body is read: nothing was emitted.
pyasync::Task attempts(nb::object self, nb::object client, nb::object loop, nb::object url, nb::bytes body,
                       nb::object emitter, double deadline) {
    static pyhost::Global sleep;
    if (!sleep) {
        sleep.set(asyncio_attr("sleep"));
    }
    long long max_retries = 0;
    {
        int overflow = 0;
        max_retries = PyLong_AsLongLongAndOverflow(self.attr("max_retries").ptr(), &overflow);
        if (overflow > 0) max_retries = LLONG_MAX;
    }
    nb::dict headers;
    headers["Content-Type"] = "application/json";
    for (long long attempt = 0;; ++attempt) {
        const bool last = attempt >= max_retries;
        pyasync::Caught failure;
        nb::object response;
        try {
            if (emitter.is_none()) {
                response = co_await client.attr("post")(url, nb::arg("content") = body, nb::arg("headers") = headers);
            } else {
                nb::object request = client.attr("build_request")("POST", url, nb::arg("content") = body,
                                                                  nb::arg("headers") = headers);
                response = co_await client.attr("send")(request, nb::arg("stream") = true);
            }
        } catch (nb::python_error &e) {
            if (last || !retry::transient_error(e)) {
                throw;
            }
            failure.capture();
        }
        std::optional<double> asked;
        if (!failure) {
            if (last || !retry::transient_status(nb::cast<int>(response.attr("status_code")))) {
                co_return co_await answer(self, response, url, emitter);
            }
            if (!emitter.is_none()) {
                co_await response.attr("aread")();  // the service's error message, should it be the last
                co_await response.attr("aclose")();
            }
            asked = retry::retry_after(response);
        }
        const double wait = asked ? *asked : retry::backoff(attempt);
        if (nb::cast<double>(loop.attr("time")()) + wait >= deadline) {
            // No time for another attempt: this one's failure is the call's.
            failure.rethrow();
            check_status(response, url);
        }
        co_await sleep(wait);
    }
}

// Transport failures become the library's errors: a time-out the standard TimeoutError, the rest
// InvokerRuntimeError. Everything else (a handler's error, a cancellation) passes unchanged.
[[noreturn]] void translate(nb::python_error &error, nb::handle url, nb::handle timeout) {
    nb::object hx = httpx();
    if (error.matches(PyExc_TimeoutError) || error.matches(hx.attr("TimeoutException"))) {
        nb::object timed_out = nb::handle(PyExc_TimeoutError)(
            nb::str("[{}] no answer from {} within {} s").format(kClassName, url, timeout));
        nb::setattr(timed_out, "__cause__", error.value());
        pyhost::raise(timed_out);
    }
    if (error.matches(hx.attr("HTTPError")) || error.matches(hx.attr("InvalidURL"))) {
        fail(nb::str("request to {} failed: {}: {}").format(url, nb::type_name(error.type()), error.value()),
             error.value());
    }
    throw std::move(error);
}

// A client of the invoker's own: its connections are kept alive between calls, at most
// `max_connections` of them open at once; a call waits for a free one within its deadline. Time limits
// are the call's, not the client's.
nb::object new_client(nb::handle self) {
    nb::object hx = httpx();
    nb::dict headers;
    headers["Authorization"] = nb::str("Bearer {}").format(self.attr("_api_key"));
    nb::object connections = self.attr("max_connections");
    nb::object limits = hx.attr("Limits")(nb::arg("max_connections") = connections,
                                          nb::arg("max_keepalive_connections") = connections);
    return hx.attr("AsyncClient")(nb::arg("timeout") = nb::none(), nb::arg("limits") = limits,
                                  nb::arg("headers") = headers, nb::arg("verify") = ssl_context());
}

pyasync::Task invoke(nb::object self, nb::object messages, nb::object hyperparameters, nb::object emitter) {
    nb::dict payload = request_body(self, messages, hyperparameters, !emitter.is_none());
    nb::bytes body = json_body(payload);
    nb::str url = nb::str("{}/chat/completions").format(nb::str(self.attr("base_url")).attr("rstrip")("/"));
    nb::object timeout = self.attr("timeout");
    nb::object loop = client_pool::running_loop();
    const double deadline = nb::cast<double>(loop.attr("time")()) + nb::cast<double>(timeout);
    static pyhost::Global timeout_at;
    if (!timeout_at) {
        timeout_at.set(asyncio_attr("timeout_at"));
    }
    // One deadline for the whole call: waiting for a connection, every attempt, every pause between them
    // and the whole answer.
    nb::object scope = timeout_at(deadline);
    co_await scope.attr("__aenter__")();
    pyasync::Caught failure;
    nb::object result;
    try {
        nb::object client = co_await client_pool::client(self, loop, &new_client);
        result = co_await attempts(self, client, loop, url, body, emitter, deadline);
    } catch (...) {
        failure.capture();
    }
    if (!failure) {
        co_await scope.attr("__aexit__")(nb::none(), nb::none(), nb::none());
        co_return result;
    }
    // The scope turns the cancellation it caused into TimeoutError; other errors pass through it.
    pyasync::Caught expired;
    try {
        nb::handle traceback = failure->traceback();
        co_await scope.attr("__aexit__")(failure->type(), failure->value(),
                                         traceback.is_valid() ? traceback : nb::handle(Py_None));
    } catch (...) {
        expired.capture();
    }
    if (expired) {
        translate(*expired, url, timeout);
    }
    translate(*failure, url, timeout);
}

bool is_int(nb::handle value) {
    return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
}

[[noreturn]] void bad_setting(PyObject *type, const char *key, const char *expected, nb::handle value) {
    pyhost::raise(type, "%s must be %s, got %R", key, expected, value.ptr());
}

// The invoker's settings, refused when it is built rather than at its first call.
void check_settings(nb::handle base_url, nb::handle timeout, nb::handle max_connections, nb::handle max_retries) {
    constexpr const char *kUrl = "an http or https URL with a host";
    if (!PyUnicode_Check(base_url.ptr())) {
        bad_setting(PyExc_TypeError, "base_url", kUrl, base_url);
    }
    nb::object parts;
    try {
        parts = pyhost::import_from("urllib.parse", "urlsplit")(base_url);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        bad_setting(PyExc_ValueError, "base_url", kUrl, base_url);
    }
    nb::object scheme = parts.attr("scheme").attr("lower")();
    if ((!scheme.equal(nb::str("http")) && !scheme.equal(nb::str("https"))) || !pyhost::truth(parts.attr("hostname"))) {
        bad_setting(PyExc_ValueError, "base_url", kUrl, base_url);
    }
    constexpr const char *kSeconds = "a positive number of seconds";
    if (!is_int(timeout) && !PyFloat_Check(timeout.ptr())) {
        bad_setting(PyExc_TypeError, "timeout", kSeconds, timeout);
    }
    const double seconds = PyFloat_AsDouble(timeout.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!(seconds > 0.0) || !std::isfinite(seconds)) {
        bad_setting(PyExc_ValueError, "timeout", kSeconds, timeout);
    }
    if (!is_int(max_connections)) {
        bad_setting(PyExc_TypeError, "max_connections", "a positive integer", max_connections);
    }
    if (pyhost::status(PyObject_RichCompareBool(max_connections.ptr(), nb::int_(1).ptr(), Py_LT))) {
        bad_setting(PyExc_ValueError, "max_connections", "a positive integer", max_connections);
    }
    if (!is_int(max_retries)) {
        bad_setting(PyExc_TypeError, "max_retries", "a non-negative integer", max_retries);
    }
    if (pyhost::status(PyObject_RichCompareBool(max_retries.ptr(), nb::int_(0).ptr(), Py_LT))) {
        bad_setting(PyExc_ValueError, "max_retries", "a non-negative integer", max_retries);
    }
}

}  // namespace

void init_openai_compatible(nb::module_ m) {
    nb::object base = pyhost::import_from("vadrel_inference.lm_invoker.lm_invoker", "BaseLMInvoker");
    OpenAICompatibleLMInvoker.set(
        pyhost::ClassBuilder(m, "OpenAICompatibleLMInvoker", "Invoker for an OpenAI-compatible chat-completions service.")
            .base(base)
            .method(
                "__init__",
                [base](nb::handle self, nb::handle model_id, nb::handle base_url, nb::handle api_key,
                       nb::handle timeout, nb::handle default_hyperparameters, nb::handle response_schema,
                       nb::handle max_connections, nb::handle max_retries) {
                    check_settings(base_url, timeout, max_connections, max_retries);
                    base.attr("__init__")(self, model_id, response_schema);
                    nb::object id = nb::isinstance<nb::str>(model_id) ? ModelId.attr("from_string")(model_id)
                                                                      : nb::borrow(model_id);
                    nb::setattr(self, "model_name", id.attr("name"));
                    nb::setattr(self, "base_url", base_url);
                    nb::setattr(self, "timeout", timeout);
                    nb::setattr(self, "max_connections", max_connections);
                    nb::setattr(self, "max_retries", max_retries);
                    nb::setattr(self, "default_hyperparameters",
                                default_hyperparameters.is_none()
                                    ? nb::object(nb::dict())
                                    : nb::object(nb::handle(&PyDict_Type)(default_hyperparameters)));
                    nb::setattr(self, "_api_key", api_key);
                    nb::setattr(self, "_clients", nb::dict());
                },
                nb::arg("model_id"), nb::arg("base_url"), nb::arg("api_key"), nb::arg("timeout") = 60.0,
                nb::arg("default_hyperparameters").none() = nb::none(),
                nb::arg("response_schema").none() = nb::none(), nb::arg("max_connections") = 100,
                nb::arg("max_retries") = 2)
            .method(
                "invoke",
                [](nb::handle self, nb::handle messages, nb::handle hyperparameters, nb::handle event_emitter) {
                    return invoke(nb::borrow(self), nb::borrow(messages), nb::borrow(hyperparameters),
                                  nb::borrow(event_emitter))
                        .named("invoke", "OpenAICompatibleLMInvoker.invoke")
                        .to_python();
                },
                nb::arg("messages"), nb::arg("hyperparameters").none() = nb::none(),
                nb::arg("event_emitter").none() = nb::none(),
                "Call the chat-completions service (asynchronous). With an event emitter the answer is streamed "
                "and each piece of text is emitted as a RESPONSE/TEXT event before the call returns. Connection "
                "failures and the statuses 408, 409, 429 and 5xx are retried up to `max_retries` times. HTTP errors "
                "and malformed answers raise InvokerRuntimeError; `timeout` bounds the whole call, and when it "
                "runs out TimeoutError is raised.")
            .method(
                "aclose",
                [](nb::handle self) { return client_pool::close(nb::borrow(self)); },
                "Close the connections the invoker holds on the running event loop (asynchronous). A later call "
                "opens new ones.")
            .build());
    pyhost::set_all(m, {"OpenAICompatibleLMInvoker"});
}

}  // namespace vadrel_inference
