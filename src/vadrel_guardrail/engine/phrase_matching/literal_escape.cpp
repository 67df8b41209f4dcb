// Escaping a phrase for the prepared pattern in one pass over its characters.
#include "vadrel_guardrail/engine/phrase_matching/literal_escape.hpp"

#include <cstdint>

#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace nb = nanobind;

namespace {

// The characters that the host escapes, all ASCII: a bit each.
constexpr char kSpecial[] = "()[]{}?*+-|^$\\.&~# \t\n\r\v\f";

constexpr std::uint64_t special_bits(unsigned half) {
    std::uint64_t bits = 0;
    for (const char *c = kSpecial; *c; ++c) {
        if (static_cast<unsigned>(*c) / 64 == half) {
            bits |= std::uint64_t{1} << (static_cast<unsigned>(*c) % 64);
        }
    }
    return bits;
}
constexpr std::uint64_t kSpecialBits[2] = {special_bits(0), special_bits(1)};

bool special(Py_UCS4 c) {
    return c < 128 && (kSpecialBits[c / 64] >> (c % 64) & 1) != 0;
}

struct HostEscape {
    nb::object function;
    nb::object table;  // a copy of the table as the host made it
};

HostEscape &host_escape() {
    static auto *kept = new HostEscape();  // never destroyed: it holds Python objects
    return *kept;
}

}  // namespace

void remember_host_escape(nb::handle re) {
    nb::object function = re.attr("escape");
    nb::object table = re.attr("_special_chars_map");
    // The table must be the one this file spells out, character for character.
    nb::dict expected;
    for (const char *c = kSpecial; *c; ++c) {
        char escaped[] = {'\\', *c, 0};
        expected[nb::int_(static_cast<int>(*c))] = nb::str(escaped, 2);
    }
    if (PyFunction_Check(function.ptr()) && expected.equal(table)) {
        host_escape() = HostEscape{function, expected};
    }
}

bool is_host_escape(nb::handle escape) {
    const HostEscape &host = host_escape();
    if (!host.function.is_valid() || !escape.is(host.function)) {
        return false;
    }
    // The function reads its table from its module at each call: it must still be the host's.
    PyObject *table = PyDict_GetItemString(PyFunction_GetGlobals(escape.ptr()), "_special_chars_map");
    return table && pyhost::status(PyObject_RichCompareBool(table, host.table.ptr(), Py_EQ)) == 1;
}

nb::object escaped_literally(nb::handle text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    Py_ssize_t specials = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        specials += special(PyUnicode_READ(kind, data, i));
    }
    nb::object out = pyhost::owned(PyUnicode_New(length + specials, PyUnicode_MAX_CHAR_VALUE(text.ptr())));
    int out_kind = PyUnicode_KIND(out.ptr());
    void *out_data = PyUnicode_DATA(out.ptr());
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (special(c)) {
            PyUnicode_WRITE(out_kind, out_data, at++, '\\');
        }
        PyUnicode_WRITE(out_kind, out_data, at++, c);
    }
    return out;
}

}  // namespace vadrel_guardrail::phrase_matching
