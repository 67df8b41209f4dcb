// When a failed call to the chat-completions service is worth another attempt, and how long to wait first.
#pragma once

#include <optional>

#include "vadrel_inference/modules.hpp"

namespace vadrel_inference::retry {

// Statuses of a service that may answer the same request next time: 408, 409, 429 and every 5xx.
bool transient_status(int status);

// Transport failures that a new attempt may not meet: the connection failed, broke, or was closed under
// the request. A TLS failure (a certificate that does not verify, a handshake refused), an answer malformed
// on the wire or in an encoding that cannot be decoded, and a proxy's refusal other than a transient status
// would meet the next attempt too.
bool transient_error(const nb::python_error &error);

// The wait that the response's Retry-After header asks for, as HTTP defines it: whole seconds, or an HTTP
// date (a date already past asks for none). None when the header is absent or is neither.
std::optional<double> retry_after(nb::handle response);

// The wait before retry number `attempt + 1`: the one the service asked for, but never less than the
// shortest back-off (a "Retry-After: 0" must not make a tight loop of requests); without one, exponential
// back-off with jitter.
double wait_before_retry(std::optional<double> asked, long long attempt);

}  // namespace vadrel_inference::retry
