// `vadrel_guardrail.schema.guardrail_stream_chunk`: GuardrailStreamChunk, one item of a checked stream, and
// the C++ helper that builds it.
#include "pyhost/raising.hpp"
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
PyObject *key_chunk, *key_is_safe, *key_reason;  // interned, never released

// GuardrailStreamChunk(chunk=chunk, is_safe=is_safe[, reason=reason]), `reason` passed only when
// `reason_given`.
nb::object stream_chunk(nb::handle chunk, bool is_safe, nb::handle reason, bool reason_given) {
    if (!PyUnicode_CheckExact(chunk.ptr()) || !(reason.is_none() || PyUnicode_CheckExact(reason.ptr()))) {
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

nb::object schema::safe_item(nb::handle text) { return stream_chunk(text, true, nb::none(), false); }

nb::object schema::terminal_marker(nb::handle reason) { return stream_chunk(empty_text.get(), false, reason, true); }

[[gnu::hot]] bool schema::is_sole_safe_item(nb::handle item) {
    PyObject *fields = trusted.sole_fields(item, safe_fields.get());
    if (!fields) return false;
    PyObject *chunk = PyDict_GetItem(fields, key_chunk);
    return chunk && PyUnicode_CheckExact(chunk) && PyDict_GetItem(fields, key_is_safe) == Py_True &&
           PyDict_GetItem(fields, key_reason) == Py_None;
}

namespace {

// Whether the next entry of `fields` at `pos` is `key`, holding `value` (any value when null).
inline bool next_entry(PyObject *fields, Py_ssize_t &pos, PyObject *key, PyObject *value) {
    PyObject *k, *v;
    return PyDict_Next(fields, &pos, &k, &v) && k == key && (!value || v == value);
}

// The fields dict of `item` when it can be made over into another text's safe item: only the caller holds
// it, its dict and its fields set; they hold what `safe_item` put there, in its order. Straight through:
// this runs for every item the road's last level makes.
[[gnu::hot]] PyObject *spare_fields(nb::handle item) {
    PyObject *fields = trusted.sole_layout(item);
    if (!fields || Py_REFCNT(fields) != 1) return nullptr;
    PyObject *set = pyhost::TrustedModel::fields_set(item);
    if (!set || Py_REFCNT(set) != 1 || !PySet_CheckExact(set) || PySet_GET_SIZE(set) != 2) return nullptr;
    // Its two names, the very objects `safe_item` put there: found by identity, so that no comparison runs
    // what else a reader may have put in the set.
    const auto *table = reinterpret_cast<PySetObject *>(set);
    unsigned seen = 0;
    for (Py_ssize_t i = 0; i <= table->mask; ++i) {
        PyObject *name = table->table[i].key;
        seen |= name == key_chunk ? 1u : name == key_is_safe ? 2u : 0u;
    }
    if (seen != 3) return nullptr;
    Py_ssize_t pos = 0;
    if (!next_entry(fields, pos, key_chunk, nullptr) || !next_entry(fields, pos, key_is_safe, Py_True) ||
        !next_entry(fields, pos, key_reason, Py_None)) {
        return nullptr;
    }
    return fields;
}

[[gnu::noinline]] nb::object kept_safe_item(nb::object &spare, nb::handle text) {
    nb::object item = schema::safe_item(text);
    spare = item;
    return item;
}

}  // namespace

[[gnu::hot]] nb::object schema::recycled_safe_item(nb::object &spare, nb::handle text) {
    PyObject *fields = spare.is_valid() && PyUnicode_CheckExact(text.ptr()) ? spare_fields(spare) : nullptr;
    if (!fields) [[unlikely]] return kept_safe_item(spare, text);
    pyhost::status(PyDict_SetItem(fields, key_chunk, text.ptr()));
    return spare;
}

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
    key_chunk = PyUnicode_InternFromString("chunk");
    key_is_safe = PyUnicode_InternFromString("is_safe");
    key_reason = PyUnicode_InternFromString("reason");
}

}  // namespace vadrel_guardrail
