// `vadrel_guardrail.schema.guardrail_stream_chunk`: GuardrailStreamChunk, one item of a checked stream, and
// the C++ helper that builds it.
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "pyhost/unchanged.hpp"
#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail {

pyhost::Global schema::GuardrailStreamChunk;

namespace {
pyhost::TrustedModel trusted;
pyhost::Global safe_fields;    // {"chunk", "is_safe"}
pyhost::Global marker_fields;  // {"chunk", "is_safe", "reason"}
pyhost::Global safe_layout;    // a safe item's values but its text
pyhost::Global empty_text;
// While the class (or a base) has not changed, its fields are no class attributes and building an item of texts
// is what the class's own construction would make.
pyhost::Unchanged chunk_class{"GuardrailStreamChunk"};

// GuardrailStreamChunk(chunk=chunk, is_safe=is_safe[, reason=reason]), `reason` passed only when
// `reason_given`.
nb::object stream_chunk(nb::handle chunk, bool is_safe, nb::handle reason, bool reason_given) {
    if (!PyUnicode_CheckExact(chunk.ptr()) || !(reason.is_none() || PyUnicode_CheckExact(reason.ptr())) ||
        !chunk_class.holds()) {
        if (reason_given) {
            return schema::GuardrailStreamChunk(nb::arg("chunk") = chunk, nb::arg("is_safe") = is_safe,
                                        nb::arg("reason") = reason);
        }
        return schema::GuardrailStreamChunk(nb::arg("chunk") = chunk, nb::arg("is_safe") = is_safe);
    }
    if (is_safe && !reason_given) return trusted.make({chunk, {}, {}}, safe_fields.get(), safe_layout.get());
    return trusted.make({chunk, is_safe ? Py_True : Py_False, reason},
                        reason_given ? marker_fields.get() : safe_fields.get());
}

}  // namespace

bool schema::stream_chunk_unchanged() noexcept { return chunk_class.holds(); }

nb::object schema::safe_item(nb::handle text) { return stream_chunk(text, true, nb::none(), false); }

nb::object schema::terminal_marker(nb::handle reason) { return stream_chunk(empty_text.get(), false, reason, true); }

void init_guardrail_stream_chunk(nb::module_ m) {
    schema::GuardrailStreamChunk.set(
        pyhost::ClassBuilder::model(m, "GuardrailStreamChunk", "A single item emitted by a streaming guardrail pipeline.")
            .field("chunk", nb::handle(&PyUnicode_Type), "Source chunk value, or empty for a terminal unsafe marker")
            .field("is_safe", nb::handle(&PyBool_Type), "Whether the chunk is safe")
            .field("reason", pyhost::optional(&PyUnicode_Type), nb::none(), "Reason for an unsafe terminal marker")
            .build());
    trusted.init(schema::GuardrailStreamChunk.get(), {"chunk", "is_safe", "reason"});
    safe_fields.set(trusted.names({"chunk", "is_safe"}));
    marker_fields.set(trusted.names({"chunk", "is_safe", "reason"}));
    safe_layout.set(trusted.layout({Py_None, Py_True, Py_None}));
    empty_text.set(nb::str(""));
    nb::handle cls = schema::GuardrailStreamChunk.get();
    bool fields_plain = true;
    for (const char *field : {"chunk", "is_safe", "reason"}) {
        fields_plain = fields_plain && !nb::hasattr(cls, pyhost::intern(field));
    }
    if (fields_plain) chunk_class.watch({cls});
}

}  // namespace vadrel_guardrail
