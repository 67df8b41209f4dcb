// `_ValidatedSource`: the caller's chunks as the stream pipeline reads them: text only, one chunk of look-ahead, and
// closed at most once. A stage's input is read through `read_input`, which reads a validated source in
// the reader's own frame.
#pragma once

#include <array>
#include <optional>

#include <nanobind/nanobind.h>

#include "pyasync/pyasync.hpp"

namespace vadrel_guardrail::stream {
namespace nb = nanobind;

struct ValidatedSource {
    nb::object source;    // the caller's iterator
    nb::object buffered;  // the look-ahead chunk, or unset
    bool any_chunk = false;
    bool closed = false;
    bool has_buffer = false;

    auto objects() const { return std::array{&source, &buffered}; }
};

bool is_validated_source(nb::handle obj);
ValidatedSource &validated(nb::handle obj);
// `_ValidatedSource(chunks)`.
nb::object make_validated_source(nb::handle chunks);

// `await source.peek()`.
pyasync::Task peek(nb::object source);

// `co_await read_input(input)`: the next chunk of a stage's input, nullopt at its end. A validated source
// is read as its `__anext__` reads it, but in the reader's own frame: the caller's iterator is awaited
// there, without a coroutine per chunk. Anything else is read through `pyasync::anext`.
class InputRead {
public:
    explicit InputRead(nb::handle input) noexcept : source_(input) {}
    InputRead(InputRead &&) noexcept = default;

    bool await_ready();
    template <class P> decltype(auto) await_suspend(std::coroutine_handle<P> h) { return inner_->await_suspend(h); }
    std::optional<nb::object> await_resume();

private:
    nb::handle source_;     // kept alive by the reader
    bool held_ = false;     // the look-ahead chunk is the answer
    bool checked_ = false;  // the answer needs no text test
    std::optional<pyasync::NextAwaiter> inner_;
};
inline InputRead read_input(nb::handle input) { return InputRead(input); }

// `_ValidatedSource`, in module `m`; the module's `logger` reports a failed close.
void define_validated_source(nb::module_ m);

}  // namespace vadrel_guardrail::stream
