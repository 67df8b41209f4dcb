// The chat-completions wire format (see chat_wire.hpp): request bodies, plain and streamed answers.
#include "vadrel_inference/lm_invoker/chat_wire.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_inference/errors.hpp"
#include "vadrel_inference/lm_invoker/answer_json.hpp"

namespace vadrel_inference::chat_wire {

namespace {

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

// What the invoker reads of an answer, an event of a streamed one, and an error's body: only these are built.
// Of an error, only its message at first: it is shown whole only when it has none.
using answer_json::Member;
using answer_json::Shape;
constexpr Member kContent[] = {{"content", &answer_json::kScalar}};
constexpr Shape kWithContent{Shape::Kind::object, kContent};
constexpr Member kMessage[] = {{"message", &kWithContent}};
constexpr Member kDelta[] = {{"delta", &kWithContent}};
constexpr Shape kMessageChoice{Shape::Kind::object, kMessage}, kDeltaChoice{Shape::Kind::object, kDelta};
constexpr Member kTokens[] = {{"prompt_tokens", &answer_json::kScalar},
                               {"completion_tokens", &answer_json::kScalar}};
constexpr Shape kUsage{Shape::Kind::object, kTokens};
constexpr Shape kFirstMessage{Shape::Kind::first, {}, &kMessageChoice};
constexpr Shape kFirstDelta{Shape::Kind::first, {}, &kDeltaChoice};
constexpr Member kErrorMessage[] = {{"message", &answer_json::kWhole}};
constexpr Shape kServiceError{Shape::Kind::object, kErrorMessage};
constexpr Member kAnswer[] = {{"error", &kServiceError}, {"choices", &kFirstMessage}, {"usage", &kUsage}};
constexpr Member kEvent[] = {{"error", &kServiceError}, {"choices", &kFirstDelta}, {"usage", &kUsage}};
constexpr Shape kAnswerShape{Shape::Kind::object, kAnswer}, kEventShape{Shape::Kind::object, kEvent};
constexpr Member kErrorBody[] = {{"error", &kServiceError}};
constexpr Shape kErrorBodyShape{Shape::Kind::object, kErrorBody};
constexpr Member kWholeError[] = {{"error", &answer_json::kWhole}};
constexpr Shape kWholeErrorShape{Shape::Kind::object, kWholeError};

// An answer (or one event of a streamed answer) read as a JSON object; not JSON, not an object, or an
// object that carries an error fails the call.
nb::object answer_object(nb::handle raw, const Shape &shape, const char *not_json, const char *not_object) {
    nb::object body;
    try {
        body = answer_json::read(raw, shape);
    } catch (nb::python_error &e) {
        fail(nb::str(not_json).format(e.value()), e.value());
    }
    if (!is_dict(body)) {
        fail(nb::str(not_object));
    }
    if (nb::object error = get(body, answer_keys().error); !error.is_none()) {
        if ((is_dict(error) ? get(error, "message") : nb::none()).is_none()) {
            error = get(answer_json::read(raw, kWholeErrorShape), answer_keys().error);
        }
        fail_with_error_object(error);
    }
    return body;
}

// A body read whole, as text in the charset its Content-Type names (UTF-8 when it names none or one that
// is not known); what cannot be decoded is replaced.
nb::str body_text(nb::handle response, nb::handle content) {
    nb::object charset = response.attr("charset");
    if (!charset.is_none()) {
        try {
            return nb::str(content.attr("decode")(charset, "replace"));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_LookupError) && !e.matches(PyExc_ValueError)) throw;
        }
    }
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(content.ptr(), &data, &size) < 0) throw nb::python_error();
    return nb::borrow<nb::str>(pyhost::owned(PyUnicode_DecodeUTF8(data, size, "replace")));
}

// The invoker's bound on the bytes of one answer.
Py_ssize_t answer_limit(nb::handle self) {
    nb::object limit = self.attr("max_answer_bytes");
    // One larger than a size can be is clamped: no answer could reach it anyway.
    const Py_ssize_t bytes = PyNumber_AsSsize_t(limit.ptr(), nullptr);
    if (bytes == -1 && PyErr_Occurred()) throw nb::python_error();
    return bytes;
}

[[noreturn]] void answer_too_large(nb::handle url, Py_ssize_t limit) {
    fail(nb::str("the answer from {} is larger than max_answer_bytes ({} bytes)").format(url, limit));
}

// Text shown in an error: its first 500 bytes, and "..." when there was more.
nb::str shortened(nb::handle text) {
    nb::str shown = utf8_prefix(text, 500);
    return shown.equal(text) ? shown : nb::str("{}...").format(shown);
}

nb::object output(nb::handle self, nb::handle text, nb::handle usage) {
    nb::object structured = nb::none();
    nb::object schema = self.attr("response_schema");
    if (!schema.is_none()) {
        try {
            structured = nb::hasattr(schema, "model_validate_json")
                             ? schema.attr("model_validate_json")(text)
                             : answer_json::json_loads(text);
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

nb::object utf8_line(const char *data, std::size_t size) {
    return pyhost::owned(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "replace"));
}

// A turn of the event loop (`asyncio.sleep(0)`), to be awaited.
nb::object next_turn() {
    static pyhost::Global sleep;
    if (!sleep) {
        sleep.set(pyhost::import_from("asyncio", "sleep"));
    }
    return sleep(0);
}

// The bytes of an answer read between two turns of the event loop. A read does not always wait: aiohttp
// decompresses more of what has arrived as soon as its buffer runs low, and a piece of a stream that came
// fast can hold thousands of events; reading all of it at once would hold up every other task.
constexpr std::size_t kLineBytesPerTurn = 16 << 10;  // of lines, each parsed as an event
constexpr Py_ssize_t kBodyBytesPerTurn = 256 << 10;   // of a body read whole

// The lines of a body as it arrives, each decoded from UTF-8 (what cannot be decoded is replaced). A line
// ends at a line feed, a carriage return or both; empty lines are left out, as they carry no event data.
// The body counts against `limit` as it comes, so a line that never ends is bounded too; each byte is
// looked at once, however many pieces a line arrives in.
pyasync::AsyncGen body_lines(nb::object stream, nb::object url, Py_ssize_t limit) {
    pyasync::AsyncIter chunks(stream.attr("iter_any")());
    std::string pending;  // the start of a line whose end has not come yet
    Py_ssize_t total = 0;
    std::size_t since_turn = 0;
    while (std::optional<nb::object> chunk = co_await chunks.next()) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(chunk->ptr(), &data, &size) < 0) throw nb::python_error();
        if (size > limit - total) {
            answer_too_large(url, limit);
        }
        total += size;
        const char *at = data;
        const char *const end = data + size;
        while (at != end) {
            const char *stop = std::find_if(at, end, [](char c) { return c == '\n' || c == '\r'; });
            since_turn += static_cast<std::size_t>(stop - at);
            if (stop == end) {
                pending.append(at, static_cast<std::size_t>(end - at));
                at = end;
            } else {
                nb::object line;
                if (!pending.empty()) {
                    pending.append(at, static_cast<std::size_t>(stop - at));
                    line = utf8_line(pending.data(), pending.size());
                    pending.clear();
                } else if (stop != at) {
                    line = utf8_line(at, static_cast<std::size_t>(stop - at));
                }
                at = stop + 1;
                if (line.is_valid()) {
                    co_yield line;
                }
            }
            if (since_turn >= kLineBytesPerTurn) {
                since_turn = 0;
                co_await next_turn();
            }
        }
    }
    if (!pending.empty()) {
        co_yield utf8_line(pending.data(), pending.size());
    }
}

// Server-sent events: each `data:` line is one JSON chunk; "[DONE]" ends the answer.
pyasync::Task read_stream(nb::object self, nb::object response, nb::object url, nb::object emitter) {
    const int status = nb::cast<int>(response.attr("status"));
    if (status >= 300) {
        nb::object content = co_await read_body(self, response, url);
        check_status(status, response, content, url);
    }
    pyasync::AsyncIter lines(body_lines(response.attr("content"), url, answer_limit(self)));
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
        nb::object chunk = answer_object(*data, kEventShape, "malformed streamed answer: an event is not JSON: {}",
                                         "malformed streamed answer: an event is not a JSON object");
        const AnswerKeys &k = answer_keys();
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

}  // namespace

// Messages are built as Python text (not converted through UTF-8): they may carry whatever a service or a model wrote.
[[noreturn]] void fail(nb::handle message, nb::handle cause) {
    raise_runtime_error(kInvokerName, message, cause);
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

pyasync::Task read_body(nb::object self, nb::object response, nb::object url) {
    const Py_ssize_t limit = answer_limit(self);
    pyasync::Caught failure;
    nb::list pieces;
    try {
        // What is buffered, as it comes: never a read of the whole body, which would decompress all of it at once.
        nb::object content = response.attr("content");
        nb::object read = content.attr("readany");
        nb::object at_eof = content.attr("at_eof");
        Py_ssize_t total = 0;
        Py_ssize_t since_turn = 0;
        while (!pyhost::truth(at_eof())) {
            nb::object piece = co_await read();
            const Py_ssize_t size = PyBytes_Size(piece.ptr());
            if (size < 0) throw nb::python_error();
            if (size == 0) break;
            if (size > limit - total) {
                answer_too_large(url, limit);
            }
            total += size;
            pieces.append(piece);
            since_turn += size;
            if (since_turn >= kBodyBytesPerTurn) {
                since_turn = 0;
                co_await next_turn();
            }
        }
    } catch (...) {
        failure.capture();
    }
    if (failure) {
        response.attr("close")();
        failure.rethrow();
    }
    if (nb::len(pieces) == 1) {
        co_return nb::object(pieces[0]);
    }
    co_return nb::bytes("", 0).attr("join")(pieces);
}

// HTTP errors, with the service's own error message when its body carries one; a redirect, with where it
// leads: following it could send the key to another origin.
void check_status(int status, nb::handle response, nb::handle content, nb::handle url) {
    if (status < 300) {
        return;
    }
    if (status < 400) {
        nb::object location = response.attr("headers").attr("get")("Location");
        if (location.is_none()) {
            fail(nb::str("HTTP {} from {}: a redirect without a Location, which is not followed").format(status, url));
        }
        fail(nb::str("HTTP {} from {}: redirected to {}, which is not followed")
                 .format(status, url, shortened(nb::repr(location))));
    }
    nb::str detail = body_text(response, content);
    try {
        nb::object body = answer_json::read(detail, kErrorBodyShape);
        if (is_dict(body) && is_dict(get(body, "error")) && !get(get(body, "error"), "message").is_none()) {
            detail = nb::str(get(get(body, "error"), "message"));
        }
    } catch (nb::python_error &) {
        // Not JSON: the raw text is the detail.
    }
    fail(nb::str("HTTP {} from {}: {}").format(status, url, shortened(detail)));
}

nb::object plain_answer(nb::handle self, nb::handle raw) {
    nb::object body =
        answer_object(raw, kAnswerShape, "malformed answer: not JSON: {}", "malformed answer: expected a JSON object");
    const AnswerKeys &k = answer_keys();
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

}  // namespace vadrel_inference::chat_wire
