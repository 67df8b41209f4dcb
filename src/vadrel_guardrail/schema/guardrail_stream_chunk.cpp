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

bool schema::is_sole_safe_item(nb::handle item) {
    PyObject *fields = trusted.sole_fields(item, safe_fields.get());
    if (!fields) return false;
    PyObject *chunk = PyDict_GetItem(fields, key_chunk);
    return chunk && PyUnicode_CheckExact(chunk) && PyDict_GetItem(fields, key_is_safe) == Py_True &&
           PyDict_GetItem(fields, key_reason) == Py_None;
}

namespace {

// The fields dict of `item` when it can be made over into another text's safe item: only the caller holds
// it, its dict and its fields set; they hold what `safe_item` put there, in its order.
[[gnu::hot]] PyObject *spare_fields(nb::handle item) {
    PyObject *fields = trusted.sole_layout(item);
    if (!fields || Py_REFCNT(fields) != 1) return nullptr;
    PyObject *set = trusted.fields_set(item);
    if (!set || Py_REFCNT(set) != 1 || !PySet_CheckExact(set) || PySet_GET_SIZE(set) != 2) return nullptr;
    if (pyhost::status(PySet_Contains(set, key_chunk)) != 1 || pyhost::status(PySet_Contains(set, key_is_safe)) != 1)
        return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (PyObject *expected : {key_chunk, key_is_safe, key_reason}) {
        if (!PyDict_Next(fields, &pos, &key, &value) || key != expected) return nullptr;
        if ((expected == key_is_safe && value != Py_True) || (expected == key_reason && value != Py_None)) return nullptr;
    }
    return fields;
}

}  // namespace

nb::object schema::recycled_safe_item(nb::object &spare, nb::handle text) {
    if (spare.is_valid() && PyUnicode_CheckExact(text.ptr())) [[likely]] {
        if (PyObject *fields = spare_fields(spare)) {
            pyhost::status(PyDict_SetItem(fields, key_chunk, text.ptr()));
            return spare;
        }
    }
    nb::object item = safe_item(text);
    spare = item;
    return item;
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
