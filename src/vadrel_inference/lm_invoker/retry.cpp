// Which failed calls to the chat-completions service are tried again, and how long to wait first
// (see retry.hpp).
#include "vadrel_inference/lm_invoker/retry.hpp"

#include <algorithm>
#include <cmath>
#include <random>

#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"

namespace vadrel_inference::retry {
namespace {

constexpr double kFirstBackoffSeconds = 0.5;
constexpr double kLongestBackoffSeconds = 8.0;
// Jitter takes up to a quarter off a back-off, so that clients failed together do not all come back together.
constexpr double kJitter = 0.25;
constexpr double kShortestWaitSeconds = kFirstBackoffSeconds * (1.0 - kJitter);

nb::object aiohttp_error(const char *name) {
    return nb::module_::import_("aiohttp").attr(name);
}

// Seconds from now until the HTTP date `text`; none when it is not one.
std::optional<double> seconds_until(nb::handle text) {
    try {
        nb::object when = pyhost::import_from("email.utils", "parsedate_to_datetime")(text);
        if (when.attr("tzinfo").is_none()) {
            return std::nullopt;
        }
        nb::object now = pyhost::import_from("datetime", "datetime")
                             .attr("now")(pyhost::import_from("datetime", "timezone").attr("utc"));
        const double seconds = PyFloat_AsDouble((when - now).attr("total_seconds")().ptr());
        if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return seconds;
    } catch (nb::python_error &e) {
        // Whatever its bytes (a year too large to hold raises OverflowError): a date that cannot be read.
        if (!e.matches(PyExc_Exception)) throw;
        return std::nullopt;
    }
}

}  // namespace

bool transient_status(int status) {
    return status == 408 || status == 409 || status == 429 || (status >= 500 && status <= 599);
}

bool transient_error(const nb::python_error &error) {
    static pyhost::Global connection, payload, tls, proxy, ssl_error;
    if (!connection) {
        connection.set(aiohttp_error("ClientConnectionError"));  // refused, reset, disconnected
        payload.set(aiohttp_error("ClientPayloadError"));        // the body broke off
        tls.set(aiohttp_error("ClientSSLError"));                // certificates and handshakes
        proxy.set(aiohttp_error("ClientHttpProxyError"));        // the proxy's own answer to a tunnel
        ssl_error.set(pyhost::import_from("ssl", "SSLError"));
    }
    if (error.matches(proxy.get())) {
        nb::object status = error.value().attr("status");
        return PyLong_Check(status.ptr()) && transient_status(static_cast<int>(PyLong_AsLong(status.ptr())));
    }
    // Not a status line or headers that could not be read, nor an encoding aiohttp cannot decode (both
    // ClientResponseError): the same answer would come again. Nor TLS refused, in the handshake or by the
    // alert that ends the connection after it (a client certificate required).
    if (error.matches(tls.get()) || !(error.matches(connection.get()) || error.matches(payload.get()))) {
        return false;
    }
    nb::object cause = nb::getattr(error.value(), "__cause__", nb::none());
    return !PyObject_TypeCheck(cause.ptr(), reinterpret_cast<PyTypeObject *>(ssl_error.get().ptr()));
}

std::optional<double> retry_after(nb::handle response) {
    nb::object value = response.attr("headers").attr("get")("retry-after");
    if (!PyUnicode_Check(value.ptr())) {
        return std::nullopt;
    }
    // The header as the service sent it, bytes that are not UTF-8 included (they arrive as lone
    // surrogates): read as text, never converted.
    nb::object text = value.attr("strip")(" \t");
    PyObject *p = text.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(p);
    if (length == 0 || !PyUnicode_IS_ASCII(p)) {
        return std::nullopt;  // an HTTP date is ASCII too
    }
    const char *chars = reinterpret_cast<const char *>(PyUnicode_DATA(p));
    if (std::all_of(chars, chars + length, [](char c) { return c >= '0' && c <= '9'; })) {
        double seconds = 0.0;  // delay-seconds: digits only; a number too long to hold is a wait past any deadline
        for (Py_ssize_t i = 0; i < length; ++i) seconds = seconds * 10.0 + (chars[i] - '0');
        return seconds;
    }
    std::optional<double> until = seconds_until(text);
    return until ? std::optional<double>(std::max(0.0, *until)) : std::nullopt;
}

double wait_before_retry(std::optional<double> asked, long long attempt) {
    if (asked) {
        return std::max(*asked, kShortestWaitSeconds);
    }
    thread_local std::mt19937_64 random{std::random_device{}()};
    const double full = std::min(kLongestBackoffSeconds, kFirstBackoffSeconds * std::exp2(std::min(attempt, 16LL)));
    return full * (1.0 - kJitter * std::uniform_real_distribution<double>(0.0, 1.0)(random));
}

}  // namespace vadrel_inference::retry
