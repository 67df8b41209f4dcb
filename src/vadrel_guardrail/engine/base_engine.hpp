// The engine contract, the stream errors and strict full-stream buffering, for the C++ side.
#pragma once

#include <cstdint>
#include <optional>

#include "pyasync/pyasync.hpp"
#include "pyhost/classes.hpp"

namespace vadrel_guardrail::base_engine {
namespace nb = nanobind;

// Set when the module loads.
extern pyhost::Global BaseGuardrailEngineConfig;
extern pyhost::Global GuardrailEngine;
extern pyhost::Global StreamingGuardrailEngine;
extern pyhost::Global GuardrailStreamValidationError;
extern pyhost::Global GuardrailStreamBufferLimitError;
extern pyhost::Global FullStreamGuardrailAdapter;

extern pyhost::Global BufferResult;

// Raise GuardrailStreamBufferLimitError (as a C++ exception carrying the Python error).
[[noreturn]] void raise_buffer_limit(const char *limit_kind, nb::handle configured_limit, nb::handle attempted);

// Length of a chunk's UTF-8 encoding, without encoding it when it is a str.
std::int64_t utf8_length(nb::handle chunk);

// What `_buffer_source` keeps of a source, under the byte and chunk caps: chunks are added one at a time,
// and one that would break a cap raises GuardrailStreamBufferLimitError before it is kept.
class StreamBuffer {
public:
    StreamBuffer(nb::object max_stream_buffer_bytes, nb::object max_stream_buffer_chunks);
    void add(nb::handle chunk);
    // The chunks kept, in order.
    const nb::list &chunks() const { return buffered_; }

private:
    nb::object byte_cap_;
    nb::object chunk_cap_;
    std::optional<std::int64_t> byte_limit_;  // the caps as machine integers, when they are
    std::optional<std::int64_t> chunk_limit_;
    nb::list buffered_;
    std::int64_t current_bytes_ = 0;
};

// `_buffer_source`: the whole source as a list, under the byte and chunk caps; never closes it.
pyasync::Task buffer_source(nb::object source, nb::object max_stream_buffer_bytes, nb::object max_stream_buffer_chunks);

// "".join(buffered)
nb::object join_chunks(nb::handle buffered);

// `check(content=text, **engine_kwargs)`: the awaitable that the engine's check returns. Every call
// that passes the text by keyword beside caller keywords goes through here, so that those keywords
// are taken exactly as the interpreter takes `**mapping` (a dict's own entries, else `keys()` and item
// lookup) and a keyword `content` among them is the interpreter's own TypeError ("... got multiple
// values for keyword argument 'content'"), raised before the engine runs, whatever its signature.
nb::object call_with_content(nb::handle check, nb::handle text, nb::handle engine_kwargs);
// `call_with_content(getattr(engine, name), text, engine_kwargs)`; `name` a str.
nb::object call_method_with_content(nb::handle engine, nb::handle name, nb::handle text, nb::handle engine_kwargs);

}  // namespace vadrel_guardrail::base_engine
