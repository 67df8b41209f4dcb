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
#include "vadrel_inference/lm_invoker/chat_wire.hpp"
#include "vadrel_inference/lm_invoker/client_pool.hpp"
#include "vadrel_inference/lm_invoker/connections.hpp"
#include "vadrel_inference/lm_invoker/retry.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

pyhost::Global OpenAICompatibleLMInvoker;

namespace {

constexpr const char *kClassName = chat_wire::kInvokerName;

// Loaded at the first call, never at import: importing aiohttp reads many modules.
nb::object aiohttp() {
    return nb::module_::import_("aiohttp");
}

// One TLS context for every client while the bundle named stays the same: building it reads the bundle. The
// bundle named by SSL_CERT_FILE or SSL_CERT_DIR when set, else certifi's; read when a client is made.
struct KeptContext {
    nb::object context, named;
};

nb::object ssl_context() {
    // Replaced when the bundle named changes: never destroyed, as it holds Python objects.
    static auto *kept = new KeptContext();
    nb::object environ = pyhost::import_from("os", "environ");
    nb::object file = environ.attr("get")("SSL_CERT_FILE");
    nb::object dir = environ.attr("get")("SSL_CERT_DIR");
    nb::object names = nb::make_tuple(file, dir);
    if (!kept->context.is_valid() || !names.equal(kept->named)) {
        nb::object create = pyhost::import_from("ssl", "create_default_context");
        if (pyhost::truth(file)) {
            kept->context = create(nb::arg("cafile") = file);
        } else if (pyhost::truth(dir)) {
            kept->context = create(nb::arg("capath") = dir);
        } else {
            kept->context = create(nb::arg("cafile") = pyhost::import_from("certifi", "where")());
        }
        kept->named = names;
    }
    return kept->context;
}

nb::object asyncio_attr(const char *name) {
    return pyhost::import_from("asyncio", name);
}

void log_retry(nb::handle url, double wait, long long attempt, long long max_retries, nb::handle cause) {
    static pyhost::Global logger;
    if (!logger) {
        logger.set(pyhost::import_from("logging", "getLogger")("vadrel_inference.lm_invoker.openai_compatible_lm_invoker"));
    }
    logger.attr("info")("Retrying request to %s in %.2f seconds (attempt %d of %d) after %s", url, wait, attempt + 2,
                        max_retries + 1, cause);
}

nb::str chat_url(nb::handle self) {
    return nb::str("{}/chat/completions").format(nb::str(self.attr("base_url")).attr("rstrip")("/"));
}

// The caller's event handlers run inside the call; what they raise is the caller's own and leaves the call
// unchanged. The emitter handed to the answer's reader is the caller's, behind one that notes such an error.
pyasync::VoidTask emit_for_caller(nb::object emitter, nb::object noted, nb::object event) {
    pyasync::Caught failure;
    try {
        co_await emitter.attr("emit")(event);
    } catch (...) {
        failure.capture();
        pyhost::status(PyList_Append(noted.ptr(), failure->value().ptr()));
    }
    failure.rethrow();
}

// An object whose `emit` is the caller's emitter's, noting into `noted` what its handlers raise.
nb::object noting_emitter(nb::handle emitter, nb::handle noted) {
    static pyhost::Global names;
    if (!names) {
        names.set(pyhost::import_from("types", "SimpleNamespace"));
    }
    nb::object target = nb::borrow(emitter), list = nb::borrow(noted);
    return names(nb::arg("emit") = nb::cpp_function([target, list](nb::handle event) {
        return emit_for_caller(target, list, nb::borrow(event)).named("emit").to_python();
    }));
}

// Attempts until one gets a final answer, a failure that a retry would not mend, or no retry is left
// before the deadline. A streamed answer is retried only before its body is read: nothing was emitted.
// Each attempt holds a slot of the gate while it uses a connection; a pause before a retry holds none.
// An attempt that fails without having handed its connection back aborts it (connections.hpp) before its
// slot goes to the next call.
pyasync::Task attempts(nb::object self, nb::object client, nb::object gate, nb::object loop, nb::object task,
                       nb::object url, nb::bytes body, nb::object emitter, double deadline) {
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
    nb::object connector = client.attr("connector");
    pyasync::Caught failure;
    for (long long attempt = 0;; ++attempt) {
        const bool last = attempt >= max_retries;
        nb::object response;
        nb::object content;
        int status = 0;
        co_await gate.attr("acquire")();
        {
            pyhost::Released slot(gate);  // a connection slot of the gate, for this attempt
            failure.reset();
            connections::Attempt held(connector, task);
            try {
                response = co_await request("POST", url, nb::arg("data") = body, nb::arg("allow_redirects") = false);
                status = nb::cast<int>(response.attr("status"));
                // A plain answer is read whole within the attempt, as is an error that may be retried. Reading
                // to the end gives the connection back to the pool; a read that fails closes it.
                if (emitter.is_none() || (!last && retry::transient_status(status))) {
                    content = co_await chat_wire::read_body(self, response, url);
                    response.attr("release")();
                    held.handed_back();
                }
            } catch (nb::python_error &e) {
                if (last || !retry::transient_error(e)) {
                    throw;
                }
                failure.capture();
            }
            if (!failure && (last || !retry::transient_status(status))) {
                if (emitter.is_none()) {
                    chat_wire::check_status(status, response, content, url);
                    co_return chat_wire::plain_answer(self, content);
                }
                nb::object answer = co_await chat_wire::stream_answer(self, response, url, emitter);
                held.handed_back();
                co_return answer;
            }
        }
        const double wait = retry::wait_before_retry(failure ? std::nullopt : retry::retry_after(response), attempt);
        if (nb::cast<double>(loop.attr("time")()) + wait >= deadline) {
            // No time for another attempt: this one's failure is the call's.
            failure.rethrow();
            chat_wire::check_status(status, response, content, url);
        }
        nb::object cause = failure ? nb::object(nb::str("{}: {}").format(failure->type().attr("__name__"), failure->value()))
                                   : nb::object(nb::str("HTTP {}").format(status));
        log_retry(url, wait, attempt, max_retries, cause);
        co_await sleep(wait);
    }
}

// TimeoutError in the invoker's words, chained to what ended the call.
[[noreturn]] void timed_out(nb::python_error &error, nb::handle url, nb::handle timeout) {
    nb::object timed_out = nb::handle(PyExc_TimeoutError)(
        nb::str("[{}] no answer from {} within {} s").format(kClassName, url, timeout));
    nb::setattr(timed_out, "__cause__", error.value());
    pyhost::raise(timed_out);
}

// The one way a call ends when it fails: the caller's own cancellation, interruption or handler's error
// unchanged; TimeoutError when its deadline ran out; an invoker error as it is; anything else (the
// transport's errors, a cancellation that is not the caller's, an error of the library itself)
// InvokerRuntimeError chained to it, and after `aclose()` ended the call, that closing's.
[[noreturn]] void settle(nb::python_error &error, nb::handle url, nb::handle timeout, nb::handle caller_errors,
                         nb::handle task, client_pool::Ended how) {
    if (error.matches(asyncio_attr("CancelledError"))) {
        // Told by the task's count, from which the invoker's own requests were taken back.
        if (task.is_valid() && pyhost::truth(task.attr("cancelling")())) {
            throw std::move(error);
        }
        if (how == client_pool::Ended::expired) {
            timed_out(error, url, timeout);
        }
    } else if (caller_errors.is_valid() &&
               pyhost::status(PySequence_Contains(caller_errors.ptr(), error.value().ptr())) == 1) {
        throw std::move(error);  // the handler's own, a TimeoutError included
    } else if (error.matches(PyExc_TimeoutError)) {
        timed_out(error, url, timeout);
    } else if (error.matches(BaseInvokerError.get()) || !error.matches(PyExc_Exception)) {
        throw std::move(error);  // KeyboardInterrupt, SystemExit
    }
    nb::str type = nb::type_name(error.type());
    nb::object text = nb::str(error.value());
    nb::str message = how == client_pool::Ended::closed
                          ? nb::str("request to {} failed: the invoker was closed during the call").format(url)
                      : pyhost::truth(text) ? nb::str("request to {} failed: {}: {}").format(url, type, text)
                                            : nb::str("request to {} failed: {}").format(url, type);
    chat_wire::fail(message, error.value());
}

// A client of the invoker's own: its connections are kept alive between calls, at most
// `max_connections` of them open at once. Time limits are the call's, not the client's.
//
// Why aiohttp and a gate of our own. httpx's pool (httpcore 1.0.9) can keep, for as long as the client
// lives, the slot of a connection that a cancelled call was given but never opened, and its bookkeeping
// grows with the square of the connections (300 calls at once at 100 connections: 2.8 s against
// aiohttp's 0.2 s). aiohttp's connector gives back a connection in the making on every exit,
// cancellation included. Its own wait for a free connection does not pass on its turn when a call woken
// for it is cancelled before it runs; the gate, an asyncio.Semaphore, does, and keeps the connector from
// ever having a waiter.
//
// Proxies. The proxy that HTTP_PROXY, HTTPS_PROXY and NO_PROXY name for the invoker's URL, as the standard
// library reads them (`urllib.request.getproxies` and `proxy_bypass`, what aiohttp calls too), is the
// client's (aiohttp sends the user and password of its URL to it). aiohttp's own `trust_env` would read them again for
// every request, in a thread, which takes most of a call's time against a nearby service; and it would
// also read ~/.netrc for a user and password, which cannot go with the key.
nb::object new_client(nb::handle self) {
    nb::object http = aiohttp();
    nb::dict headers;
    headers["Authorization"] = nb::str("Bearer {}").format(self.attr("_api_key"));
    headers["Content-Type"] = "application/json";
    nb::object url = pyhost::import_from("yarl", "URL")(chat_url(self));
    nb::object proxy = pyhost::import_from("urllib.request", "getproxies")().attr("get")(url.attr("scheme"));
    if (pyhost::truth(pyhost::import_from("urllib.request", "proxy_bypass")(url.attr("host")))) {
        proxy = nb::none();
    }
    return http.attr("ClientSession")(nb::arg("connector") = connections::connector(self.attr("max_connections"), ssl_context()),
                                      nb::arg("headers") = headers, nb::arg("timeout") = http.attr("ClientTimeout")(),
                                      nb::arg("proxy") = proxy);
}

pyasync::Task invoke(nb::object self, nb::object messages, nb::object hyperparameters, nb::object emitter) {
    nb::str url = chat_url(self);
    nb::object timeout = self.attr("timeout");
    nb::object caller_errors, calls, call, task, result;
    pyasync::Caught failure;
    // Everything from here is the call's, encoding the request included: its failures are settled below.
    try {
        nb::object loop = client_pool::running_loop();
        // One deadline for the whole call: waiting for a connection, every attempt, every pause between them
        // and the whole answer. The invoker's entry for the loop ends the call's task when it runs out.
        const double deadline = nb::cast<double>(loop.attr("time")()) + nb::cast<double>(timeout);
        task = client_pool::current_task();
        if (task.is_none()) {
            pyhost::raise(PyExc_RuntimeError, "a call must run in an asyncio task, which its deadline can end");
        }
        if (!emitter.is_none()) {
            caller_errors = nb::list();
            emitter = noting_emitter(emitter, caller_errors);
        }
        nb::bytes body = chat_wire::json_body(chat_wire::request_body(self, messages, hyperparameters, !emitter.is_none()));
        nb::object entry = co_await client_pool::client(self, loop, &new_client);
        calls = entry[client_pool::kCalls];
        call = loop.attr("create_future")();
        client_pool::call_started(entry, loop, call, task, deadline);
        result = co_await attempts(self, entry[0], entry[1], loop, task, url, body, emitter, deadline);
    } catch (...) {
        failure.capture();
    }
    const client_pool::Ended how =
        call.is_valid() ? client_pool::call_ended(calls, call, task) : client_pool::Ended::normally;
    if (!failure) {
        co_return result;
    }
    settle(*failure, url, timeout, caller_errors, task, how);
}

bool is_int(nb::handle value) {
    return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
}

[[noreturn]] void bad_setting(PyObject *type, const char *key, const char *expected, nb::handle value) {
    pyhost::raise(type, "%s must be %s, got %R", key, expected, value.ptr());
}

// An integer setting of at least `least` (0 or 1).
void check_count(const char *key, nb::handle value, long least) {
    const char *expected = least == 0 ? "a non-negative integer" : "a positive integer";
    if (!is_int(value)) {
        bad_setting(PyExc_TypeError, key, expected, value);
    }
    if (pyhost::status(PyObject_RichCompareBool(value.ptr(), nb::int_(least).ptr(), Py_LT))) {
        bad_setting(PyExc_ValueError, key, expected, value);
    }
}

// The invoker's settings, refused when it is built rather than at its first call.
void check_settings(nb::handle base_url, nb::handle timeout, nb::handle max_connections, nb::handle max_retries,
                    nb::handle max_answer_bytes) {
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
    // A user name and password in the URL would go to the service beside the key, which aiohttp refuses at
    // every call. The URL is not shown: it holds a password.
    if (!parts.attr("username").is_none() || !parts.attr("password").is_none()) {
        pyhost::raise(PyExc_ValueError,
                      "base_url must be an http or https URL without a user name or password (the key goes in "
                      "credentials)");
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
    check_count("max_connections", max_connections, 1);
    check_count("max_retries", max_retries, 0);
    check_count("max_answer_bytes", max_answer_bytes, 1);
}

// The key goes into a header, where a control character (a line break read from a file with the key) is
// refused at every call, and where a lone surrogate (which UTF-8 cannot encode) cannot go at all; an empty
// key would send "Bearer " alone. Each is refused here instead, without showing the key.
void check_api_key(nb::handle api_key) {
    if (!PyUnicode_Check(api_key.ptr())) {
        pyhost::raise(PyExc_TypeError, "api_key must be text");
    }
    PyObject *p = api_key.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(p);
    if (length == 0) {
        pyhost::raise(PyExc_ValueError, "api_key must not be empty");
    }
    const int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if ((c < 0x20 && c != '\t') || c == 0x7f || c == 0x85 || c == 0x2028 || c == 0x2029) {
            pyhost::raise(PyExc_ValueError, "api_key must not hold control characters, such as a line break");
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            pyhost::raise(PyExc_ValueError, "api_key must be text that UTF-8 can encode (it holds a lone surrogate)");
        }
    }
    if (pyhost::truth(api_key.attr("isspace")())) {
        pyhost::raise(PyExc_ValueError, "api_key must not be only white space");
    }
}

// Settings sent with every call that JSON cannot encode (NaN, an infinite number, an object of no JSON
// type) would fail every call: each is refused here, with the encoder's own ValueError or TypeError type.
void check_hyperparameters(nb::handle hyperparameters) {
    for (nb::handle item : pyhost::owned(PyDict_Items(hyperparameters.ptr()))) {
        nb::dict one;
        one[item[0]] = item[1];
        try {
            chat_wire::json_body(one);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
            pyhost::raise(e.type()(nb::str("{} must be a value that JSON can encode (no NaN or infinite number), got {!r}")
                                       .format(item[0], item[1])));
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
                       nb::handle max_connections, nb::handle max_retries, nb::handle max_answer_bytes) {
                    check_settings(base_url, timeout, max_connections, max_retries, max_answer_bytes);
                    check_api_key(api_key);
                    base.attr("__init__")(self, model_id, response_schema);
                    nb::object id = nb::isinstance<nb::str>(model_id) ? ModelId.attr("from_string")(model_id)
                                                                      : nb::borrow(model_id);
                    nb::setattr(self, "model_name", id.attr("name"));
                    nb::setattr(self, "base_url", base_url);
                    nb::setattr(self, "timeout", timeout);
                    nb::setattr(self, "max_connections", max_connections);
                    nb::setattr(self, "max_retries", max_retries);
                    nb::setattr(self, "max_answer_bytes", max_answer_bytes);
                    nb::object defaults = default_hyperparameters.is_none()
                                              ? nb::object(nb::dict())
                                              : nb::object(nb::handle(&PyDict_Type)(default_hyperparameters));
                    check_hyperparameters(defaults);
                    nb::setattr(self, "default_hyperparameters", defaults);
                    nb::setattr(self, "_api_key", api_key);
                    nb::setattr(self, "_clients", nb::dict());
                },
                nb::arg("model_id"), nb::arg("base_url"), nb::arg("api_key"), nb::arg("timeout"),
                nb::arg("default_hyperparameters").none(),
                nb::arg("response_schema").none(), nb::arg("max_connections"),
                nb::arg("max_retries"), nb::arg("max_answer_bytes"))
            .method(
                "invoke",
                [](nb::handle self, nb::handle messages, nb::handle hyperparameters, nb::handle event_emitter) {
                    return invoke(nb::borrow(self), nb::borrow(messages), nb::borrow(hyperparameters),
                                  nb::borrow(event_emitter))
                        .named("invoke", "OpenAICompatibleLMInvoker.invoke")
                        .to_python();
                },
                nb::arg("messages"), nb::arg("hyperparameters").none(),
                nb::arg("event_emitter").none(),
                "Call the chat-completions service (asynchronous). With an event emitter the answer is streamed "
                "and each piece of text is emitted as a RESPONSE/TEXT event before the call returns. Connection "
                "failures and the statuses 408, 409, 429 and 5xx are retried up to `max_retries` times. `timeout` "
                "bounds the whole call, and when it runs out TimeoutError is raised; every other failure (HTTP "
                "errors, redirects, which are not followed, an answer larger than `max_answer_bytes` once "
                "decompressed, malformed answers, the transport's errors) raises InvokerRuntimeError chained to "
                "its cause. What the caller's own code raises (a cancellation, an event handler's error) passes "
                "unchanged.")
            .method(
                "aclose",
                [](nb::handle self) { return client_pool::close(nb::borrow(self)); },
                "Close the connections the invoker holds on the running event loop (asynchronous), ending the calls "
                "still under way on it: they raise InvokerRuntimeError, or stay cancelled when their caller "
                "cancelled them. A later call opens new ones.")
            .build());
    pyhost::set_all(m, {"OpenAICompatibleLMInvoker"});
}

}  // namespace vadrel_inference
