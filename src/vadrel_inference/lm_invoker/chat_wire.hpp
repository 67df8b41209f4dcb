// The chat-completions wire format: the request body sent, and the answer read back (whole, or as
// server-sent events), as the invoker's records or its errors.
#pragma once

#include "pyasync/pyasync.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference::chat_wire {

inline constexpr const char *kInvokerName = "OpenAICompatibleLMInvoker";

// The default of the invoker's `max_answer_bytes`: far above any judge's answer (a few hundred bytes) or
// a long streamed generation, far below what would strain a process.
inline constexpr Py_ssize_t kDefaultMaxAnswerBytes = Py_ssize_t{8} << 20;

// InvokerRuntimeError with `message`, chained from `cause` when given.
[[noreturn]] void fail(nb::handle message, nb::handle cause = nb::handle());

// The request: the invoker's default hyperparameters, the call's, its response schema, the model and the
// messages; streamed exactly when `stream`.
nb::dict request_body(nb::handle self, nb::handle messages, nb::handle hyperparameters, bool stream);

// The body as UTF-8 JSON; lone surrogates are written as JSON escapes.
nb::bytes json_body(nb::handle payload);

// The body of `response` (decompressed), read a piece at a time up to the invoker's `max_answer_bytes`:
// past it the call fails, and the connection is closed whenever the read fails.
pyasync::Task read_body(nb::object self, nb::object response, nb::object url);

// Raises the service's HTTP error (with its own message when the body carries one) for a status of 400 or
// more, and names a redirect (3xx), which is never followed.
void check_status(int status, nb::handle response, nb::handle content, nb::handle url);

// The model's answer from a plain answer's body.
nb::object plain_answer(nb::handle self, nb::handle raw);

// The streamed answer of a response whose status is final, each piece emitted as it arrives. The
// connection goes back to the pool when the answer was read to its end, and is closed otherwise.
pyasync::Task stream_answer(nb::object self, nb::object response, nb::object url, nb::object emitter);

}  // namespace vadrel_inference::chat_wire
