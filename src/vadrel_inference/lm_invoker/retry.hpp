// When a failed call to the chat-completions service is worth another attempt, and how long to wait first.
#pragma once

#include <optional>

#include "vadrel_inference/modules.hpp"

namespace vadrel_inference::retry {

// Statuses of a service that may answer the same request next time: 408, 409, 429 and every 5xx.
bool transient_status(int status);

// Transport failures that a new attempt may not meet: the connection failed, broke, or was closed under
// the request, or the answer was malformed on the wire.
bool transient_error(const nb::python_error &error);

// The wait the response's Retry-After header asks for (seconds, or an HTTP date), none when it has none
// that can be read.
std::optional<double> retry_after(nb::handle response);

// Exponential back-off with jitter before retry number `attempt + 1`.
double backoff(long long attempt);

}  // namespace vadrel_inference::retry
