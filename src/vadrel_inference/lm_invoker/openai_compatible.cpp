// `vadrel_inference.lm_invoker.openai_compatible_lm_invoker`: OpenAICompatibleLMInvoker, which posts chat
// completions over aiohttp (streamed or not), with retries and one deadline for the whole call.
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

// Loaded at the first call, never at import: importing aiohttp reads many modules.
nb::object aiohttp() {
    return nb::module_::import_("aiohttp");
}

// One TLS context for every call: building it reads the certificate bundle. The bundle named by
// SSL_CERT_FILE or SSL_CERT_DIR when set, else certifi's.
nb::object ssl_context() {
    static pyhost::Global context;
    if (!context) {
        nb::object create = pyhost::import_from("ssl", "create_default_context");
        nb::object environ = pyhost::import_from("os", "environ");
        nb::object file = environ.attr("get")("SSL_CERT_FILE");
        nb::object dir = environ.attr("get")("SSL_CERT_DIR");
        if (pyhost::truth(file)) {
            context.set(create(nb::arg("cafile") = file));
        } else if (pyhost::truth(dir)) {
            context.set(create(nb::arg("capath") = dir));
        } else {
            context.set(create(nb::arg("cafile") = pyhost::import_from("certifi", "where")()));
        }
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

nb::object get(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = nullptr;
        return pyhost::status(PyDict_GetItemRef(mapping.ptr(), key.ptr(), &value)) == 1 ? nb::steal(value) : nb::none();
    }
    return mapping.attr("get")(key);
}

nb::object get(nb::handle mapping, const char *key) {
    return get(mapping, nb::str(key));
}

// The keys every answer is read with, made once: a key made from C text is decoded and hashed anew each time.
struct AnswerKeys {
    nb::handle error, choices, message, delta, content, usage, prompt_tokens, completion_tokens;
};

const AnswerKeys &answer_keys() {
    static const AnswerKeys keys{pyhost::intern("error"),   pyhost::intern("choices"),
                                 pyhost::intern("message"), pyhost::intern("delta"),
                                 pyhost::intern("content"), pyhost::intern("usage"),
                                 pyhost::intern("prompt_tokens"), pyhost::intern("completion_tokens")};
    return keys;
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
    static pyhost::Global encode;  // one encoder: json.dumps would make one per call
    if (!encode) {
        encode.set(pyhost::import_from("json", "JSONEncoder")(nb::arg("ensure_ascii") = false,
                                                              nb::arg("separators") = nb::make_tuple(",", ":"),
                                                              nb::arg("allow_nan") = false)
                       .attr("encode"));
    }
    nb::object text = encode(payload);
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

// Every call's answer is made into these records: values known to be valid skip pydantic's validation.
struct Records {
    pyhost::TrustedModel output, usage;
    pyhost::Global output_fields, usage_fields;
};

const Records &records() {
    static Records *made = nullptr;  // never destroyed: it holds Python objects
    if (made == nullptr) {
        made = new Records();
        made->output.init(LMOutput.get(), {"text", "structured_output", "token_usage"});
        made->output_fields.set(made->output.names({"text", "structured_output", "token_usage"}));
        made->usage.init(TokenUsage.get(), {"input_tokens", "output_tokens"});
        made->usage_fields.set(made->usage.names({"input_tokens", "output_tokens"}));
    }
    return *made;
}

nb::object token_usage(nb::handle usage) {
    if (!is_dict(usage)) {
        return nb::none();
    }
    const AnswerKeys &k = answer_keys();
    nb::object input = get(usage, k.prompt_tokens);
    nb::object output = get(usage, k.completion_tokens);
    if (!nb::isinstance<nb::int_>(input)) input = nb::int_(0);
    if (!nb::isinstance<nb::int_>(output)) output = nb::int_(0);
    if (PyLong_CheckExact(input.ptr()) && PyLong_CheckExact(output.ptr())) {
        const Records &r = records();
        return r.usage.make({input, output}, r.usage_fields.get());
    }
    return TokenUsage(nb::arg("input_tokens") = input, nb::arg("output_tokens") = output);
}

[[noreturn]] void fail_with_error_object(nb::handle error) {
    nb::object message = is_dict(error) ? get(error, "message") : nb::none();
    fail(nb::str("the service answered with an error: {}").format(message.is_none() ? nb::handle(error) : message));
}

// A body read whole, as text in the charset its Content-Type names (UTF-8 when none); what cannot be
// decoded is replaced.
nb::str body_text(nb::handle response, nb::handle content) {
    return nb::str(content.attr("decode")(response.attr("get_encoding")(), "replace"));
}

// HTTP errors, with the service's own error message when its body carries one.
void check_status(int status, nb::handle response, nb::handle content, nb::handle url) {
    if (status < 400) {
        return;
    }
    nb::str detail = body_text(response, content);
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
    nb::object tokens = token_usage(usage);
    if (PyUnicode_CheckExact(text.ptr())) {
        const Records &r = records();
        return r.output.make({text, structured, tokens}, r.output_fields.get());
    }
    return LMOutput(nb::arg("text") = text, nb::arg("structured_output") = structured, nb::arg("token_usage") = tokens);
}

nb::object plain_answer(nb::handle self, nb::handle raw) {
    static pyhost::Global loads;
    if (!loads) {
        loads.set(pyhost::import_from("json", "loads"));
    }
    nb::object body;
    try {
        body = loads(raw);
    } catch (nb::python_error &e) {
        fail(nb::str("malformed answer: not JSON: {}").format(e.value()), e.value());
    }
    if (!is_dict(body)) {
        fail(nb::str("malformed answer: expected a JSON object"));
    }
    const AnswerKeys &k = answer_keys();
    if (!get(body, k.error).is_none()) {
        fail_with_error_object(get(body, k.error));
    }
    nb::object choices = get(body, k.choices);
    nb::object message = nb::isinstance<nb::list>(choices) && nb::len(choices) != 0 && is_dict(choices[0])
                             ? get(choices[0], k.message)
                             : nb::none();
    if (!is_dict(message)) {
        fail(nb::str("malformed answer: no choice with a message"));
    }
    nb::object content = get(message, k.content);
    if (!content.is_none() && !nb::isinstance<nb::str>(content)) {
        fail(nb::str("malformed answer: the message content is not text"));
    }
    return output(self, content.is_none() ? nb::str("") : nb::str(content), get(body, k.usage));
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

// The lines of a body as it arrives, each decoded from UTF-8 (what cannot be decoded is replaced). A line
// ends at a line feed, a carriage return or both; empty lines are left out, as they carry no event data.
pyasync::AsyncGen body_lines(nb::object stream) {
    pyasync::AsyncIter chunks(stream.attr("iter_any")());
    std::string pending;
    while (std::optional<nb::object> chunk = co_await chunks.next()) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(chunk->ptr(), &data, &size) < 0) throw nb::python_error();
        pending.append(data, static_cast<std::size_t>(size));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find_first_of("\r\n", start)) != std::string::npos; start = end + 1) {
            if (end > start) {
                co_yield pyhost::owned(PyUnicode_DecodeUTF8(pending.data() + start, static_cast<Py_ssize_t>(end - start), "replace"));
            }
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) {
        co_yield pyhost::owned(PyUnicode_DecodeUTF8(pending.data(), static_cast<Py_ssize_t>(pending.size()), "replace"));
    }
}

// Server-sent events: each `data:` line is one JSON chunk; "[DONE]" ends the answer.
pyasync::Task read_stream(nb::object self, nb::object response, nb::object url, nb::object emitter) {
    const int status = nb::cast<int>(response.attr("status"));
    if (status >= 400) {
        nb::object content = co_await response.attr("read")();
        check_status(status, response, content, url);
    }
    nb::object loads = nb::module_::import_("json").attr("loads");
    pyasync::AsyncIter lines(body_lines(response.attr("content")));
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
        const AnswerKeys &k = answer_keys();
        if (!get(chunk, k.error).is_none()) {
            fail_with_error_object(get(chunk, k.error));
        }
        if (!get(chunk, k.usage).is_none()) {
            usage = get(chunk, k.usage);
        }
        nb::object choices = get(chunk, k.choices);
        if (!nb::isinstance<nb::list>(choices) || nb::len(choices) == 0) {
            continue;  // the usage chunk has no choices
        }
        nb::object delta = is_dict(choices[0]) ? get(choices[0], k.delta) : nb::none();
        nb::object piece = is_dict(delta) ? get(delta, k.content) : nb::none();
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

// The streamed answer of a response whose status is final: the service's error, or the model's answer.
// The connection goes back to the pool when the answer was read to its end, and is closed otherwise.
pyasync::Task stream_answer(nb::object self, nb::object response, nb::object url, nb::object emitter) {
    pyasync::Caught failure;
    nb::object result;
    try {
        result = co_await read_stream(self, response, url, emitter);
    } catch (...) {
        failure.capture();
    }
    if (failure) {
        response.attr("close")();
    } else {
        response.attr("release")();
    }
    failure.rethrow();
    co_return result;
}

nb::object asyncio_attr(const char *name) {
    return pyhost::import_from("asyncio", name);
}

// A connection slot of the gate, held from the moment it is acquired until the frame that holds it ends,
// however it ends: returning, failing, cancelled, or closed unfinished.
class Slot {
public:
    explicit Slot(nb::object gate) : gate_(std::move(gate)) {}
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;
    ~Slot() {
        // A frame may end while an error is being raised: it is kept aside for the release.
        PyObject *raised = PyErr_GetRaisedException();
        PyObject *result = PyObject_CallMethod(gate_.ptr(), "release", nullptr);
        if (result == nullptr) {
            PyErr_WriteUnraisable(gate_.ptr());
        }
        Py_XDECREF(result);
        PyErr_SetRaisedException(raised);
    }

private:
    nb::object gate_;
};

void log_retry(nb::handle url, double wait, long long attempt, long long max_retries, nb::handle cause) {
    static pyhost::Global logger;
    if (!logger) {
        logger.set(pyhost::import_from("logging", "getLogger")("vadrel_inference.lm_invoker.openai_compatible_lm_invoker"));
    }
    logger.attr("info")("Retrying request to %s in %.2f seconds (attempt %d of %d) after %s", url, wait, attempt + 2,
                        max_retries + 1, cause);
}

// Attempts until one gets a final answer, a failure that a retry would not mend, or no retry is left
// before the deadline. A streamed answer is retried only before its body is read: nothing was emitted.
// Each attempt holds a slot of the gate while it uses a connection; a pause before a retry holds none.
pyasync::Task attempts(nb::object self, nb::object client, nb::object gate, nb::object loop, nb::object url,
                       nb::bytes body, nb::object emitter, double deadline) {
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
    nb::object request = client.attr("request");
    for (long long attempt = 0;; ++attempt) {
        const bool last = attempt >= max_retries;
        pyasync::Caught failure;
        nb::object response;
        nb::object content;
        int status = 0;
        co_await gate.attr("acquire")();
        {
            Slot slot(gate);
            try {
                response = co_await request("POST", url, nb::arg("data") = body, nb::arg("allow_redirects") = false);
                status = nb::cast<int>(response.attr("status"));
                // A plain answer is read whole within the attempt, as is an error that may be retried. Reading
                // to the end gives the connection back to the pool; a read that fails closes it.
                if (emitter.is_none() || (!last && retry::transient_status(status))) {
                    content = co_await response.attr("read")();
                    response.attr("release")();
                }
            } catch (nb::python_error &e) {
                if (last || !retry::transient_error(e)) {
                    throw;
                }
                failure.capture();
            }
            if (!failure && (last || !retry::transient_status(status))) {
                if (emitter.is_none()) {
                    check_status(status, response, content, url);
                    co_return plain_answer(self, content);
                }
                co_return co_await stream_answer(self, response, url, emitter);
            }
        }
        std::optional<double> asked = failure ? std::nullopt : retry::retry_after(response);
        const double wait = asked ? *asked : retry::backoff(attempt);
        if (nb::cast<double>(loop.attr("time")()) + wait >= deadline) {
            // No time for another attempt: this one's failure is the call's.
            failure.rethrow();
            check_status(status, response, content, url);
        }
        nb::object cause = failure ? nb::object(nb::str("{}: {}").format(failure->type().attr("__name__"), failure->value()))
                                   : nb::object(nb::str("HTTP {}").format(status));
        log_retry(url, wait, attempt, max_retries, cause);
        co_await sleep(wait);
    }
}

// Transport failures become the library's errors: a time-out the standard TimeoutError, the rest
// InvokerRuntimeError. Everything else (a handler's error, a cancellation) passes unchanged.
[[noreturn]] void translate(nb::python_error &error, nb::handle url, nb::handle timeout) {
    if (error.matches(PyExc_TimeoutError)) {
        nb::object timed_out = nb::handle(PyExc_TimeoutError)(
            nb::str("[{}] no answer from {} within {} s").format(kClassName, url, timeout));
        nb::setattr(timed_out, "__cause__", error.value());
        pyhost::raise(timed_out);
    }
    if (error.matches(aiohttp().attr("ClientError"))) {
        fail(nb::str("request to {} failed: {}: {}").format(url, nb::type_name(error.type()), error.value()),
             error.value());
    }
    throw std::move(error);
}

// A client of the invoker's own: its connections are kept alive between calls, at most
// `max_connections` of them open at once. Time limits are the call's, not the client's.
//
// Why aiohttp and a gate of our own. httpx's pool (httpcore 1.0.9, the latest release) can keep a
// connection that a cancelled call had been given but never opened: neither connected nor closed, it
// holds its slot for as long as the client lives, and after a few bursts of calls that run out of time
// every call waits for a slot that never comes. Putting a gate in front of it narrows that but does not
// close it (a cancellation can still land while the pool closes an expired connection, after it gave the
// call a new one), and its pool's bookkeeping grows with the square of the connections, so 300 calls at
// once at 100 connections took seconds. aiohttp's connector counts a connection in the making by a
// placeholder that every exit, cancellation included, gives back, and closes a connection that a
// cancelled call leaves half-used; in a chaos run (thousands of calls, random deadlines and
// cancellations, a server that drops connections and answers slowly) nothing was lost, and 300 calls
// at once took 0.2 s against httpx's 2.8 s. Its own wait for a free connection does not pass on its turn
// when a call woken for it is cancelled before it runs, so a later call could wait for a connection
// that is free; the gate, an asyncio.Semaphore, does, and keeps the connector from ever having a waiter.
nb::object new_client(nb::handle self) {
    nb::object http = aiohttp();
    nb::dict headers;
    headers["Authorization"] = nb::str("Bearer {}").format(self.attr("_api_key"));
    headers["Content-Type"] = "application/json";
    nb::object connector = http.attr("TCPConnector")(nb::arg("limit") = self.attr("max_connections"),
                                                     nb::arg("ssl") = ssl_context());
    return http.attr("ClientSession")(nb::arg("connector") = connector, nb::arg("headers") = headers,
                                      nb::arg("timeout") = http.attr("ClientTimeout")());
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
        nb::object entry = co_await client_pool::client(self, loop, &new_client);
        result = co_await attempts(self, entry[0], entry[1], loop, url, body, emitter, deadline);
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
    // A port must be one a connection can be made to; reading one out of range raises ValueError.
    constexpr const char *kPort = "an http or https URL whose port is from 1 to 65535";
    nb::object port;
    try {
        port = parts.attr("port");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        bad_setting(PyExc_ValueError, "base_url", kPort, base_url);
    }
    if (!port.is_none() && nb::cast<long>(port) == 0) {
        bad_setting(PyExc_ValueError, "base_url", kPort, base_url);
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

// The key goes into a header, where a control character (a line break read from a file with the key) is
// refused at every call; it is refused here instead, without showing the key.
void check_api_key(nb::handle api_key) {
    if (!PyUnicode_Check(api_key.ptr())) {
        return;
    }
    PyObject *p = api_key.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(p);
    const int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            pyhost::raise(PyExc_ValueError, "api_key must not hold control characters, such as a line break");
        }
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
                    check_api_key(api_key);
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
