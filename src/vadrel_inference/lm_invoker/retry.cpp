// Which failed calls to the chat-completions service are tried again, and how long to wait first
// (see retry.hpp).
#include "vadrel_inference/lm_invoker/retry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include <nanobind/stl/string.h>

#include "pyhost/frame.hpp"

namespace vadrel_inference::retry {
namespace {

constexpr double kFirstBackoffSeconds = 0.5;
constexpr double kLongestBackoffSeconds = 8.0;

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
        return nb::cast<double>((when - now).attr("total_seconds")());
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) {
            throw;
        }
        return std::nullopt;
    }
}

}  // namespace

bool transient_status(int status) {
    return status == 408 || status == 409 || status == 429 || (status >= 500 && status <= 599);
}

bool transient_error(const nb::python_error &error) {
    static pyhost::Global connection, payload, response;
    if (!connection) {
        connection.set(aiohttp_error("ClientConnectionError"));  // refused, reset, disconnected
        payload.set(aiohttp_error("ClientPayloadError"));        // the body broke off or was malformed
        response.set(aiohttp_error("ClientResponseError"));      // the status line or headers were malformed
    }
    return error.matches(connection.get()) || error.matches(payload.get()) || error.matches(response.get());
}

std::optional<double> retry_after(nb::handle response) {
    nb::object value = response.attr("headers").attr("get")("retry-after");
    if (value.is_none()) {
        return std::nullopt;
    }
    std::string text = nb::cast<std::string>(value.attr("strip")());
    char *end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (!text.empty() && end == text.c_str() + text.size() && std::isdigit(static_cast<unsigned char>(text[0]))) {
        return std::isfinite(seconds) ? std::optional<double>(seconds) : std::nullopt;
    }
    std::optional<double> until = seconds_until(value);
    return until ? std::optional<double>(std::max(0.0, *until)) : std::nullopt;
}

double backoff(long long attempt) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    const double full = std::min(kLongestBackoffSeconds, kFirstBackoffSeconds * std::exp2(std::min(attempt, 16LL)));
    // Up to a quarter less, so that clients failed together do not all come back together.
    return full * (1.0 - 0.25 * std::uniform_real_distribution<double>(0.0, 1.0)(random));
}

}  // namespace vadrel_inference::retry
