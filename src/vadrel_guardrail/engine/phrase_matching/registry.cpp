// The registry of native automata, by prepared pattern, and the escaping of phrases for the pattern.
#include "vadrel_guardrail/engine/phrase_matching/registry.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace {

// The characters of a text.
std::u32string text_of(nb::handle text) {
    std::u32string out;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    out.reserve(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        out.push_back(static_cast<char32_t>(PyUnicode_READ_CHAR(text.ptr(), i)));
    }
    return out;
}

PyObject *lower_name() {
    static PyObject *name = PyUnicode_InternFromString("lower");  // kept for the process
    return name;
}

std::unordered_map<PyObject *, NativeEntry> &native_registry() {
    // Never destroyed: the entries hold Python objects, which must not be released after the interpreter ends.
    static auto *registry = new std::unordered_map<PyObject *, NativeEntry>();
    return *registry;
}

// Escaping a phrase for the prepared pattern in one pass over its characters.

// The characters that `re.escape` escapes, all ASCII: a bit each.
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

struct ReEscape {
    nb::object function;
    nb::object table;  // a copy of the table as `re` made it
};

ReEscape &re_escape() {
    static auto *kept = new ReEscape();  // never destroyed: it holds Python objects
    return *kept;
}

}  // namespace

const Binding *NativeEntry::binding_for(nb::handle phrases, nb::handle lowered, const std::vector<std::int32_t> *found,
                                        const std::vector<std::u32string> *other_texts) {
    if (!Binding::bindable(phrases)) {
        return nullptr;
    }
    for (auto it = bindings.rbegin(); it != bindings.rend(); ++it) {
        if (it->held_by(phrases, found ? it->items_needed(*found, *other_texts) : -1)) {
            return &*it;
        }
    }
    // The binding reads only its own snapshot of the items: nothing below runs Python code (exact texts lower
    // in C, and the table's keys are exact texts), but the snapshot is what it keeps and names.
    nb::object snapshot = pyhost::owned(PySequence_Tuple(phrases.ptr()));
    Py_ssize_t size = PyTuple_GET_SIZE(snapshot.ptr());
    PyObject **items = PySequence_Fast_ITEMS(snapshot.ptr());
    if (!std::all_of(items, items + size, [](PyObject *p) { return PyUnicode_CheckExact(p) != 0; })) {
        return nullptr;
    }
    Binding binding{snapshot, std::vector<std::int32_t>(automaton->phrase_count(), -1), {}};
    for (Py_ssize_t j = 0; j < size; ++j) {
        nb::object low = lowered.is_valid() ? nb::borrow(PyList_GET_ITEM(lowered.ptr(), j))
                                            : pyhost::owned(PyObject_CallMethodNoArgs(items[j], lower_name()));
        PyObject *first = PyDict_GetItemWithError(first_of_text.ptr(), low.ptr());
        if (!first) {
            pyhost::status(PyErr_Occurred() ? -1 : 0);
            binding.item_of_other_text.emplace(text_of(low), static_cast<std::int32_t>(j));
            continue;
        }
        auto &item = binding.item_of[PyLong_AsSize_t(first)];
        if (item < 0) {
            item = static_cast<std::int32_t>(j);
        }
    }
    constexpr std::size_t kBindingsKept = 4;
    if (bindings.size() == kBindingsKept) {
        bindings.erase(bindings.begin());
    }
    bindings.push_back(std::move(binding));
    return &bindings.back();
}

NativeEntry *native_entry(nb::handle pattern) {
    auto &registry = native_registry();
    auto found = registry.find(pattern.ptr());
    return found == registry.end() ? nullptr : &found->second;
}

const PhraseAutomaton *native_for(nb::handle pattern) {
    const NativeEntry *entry = native_entry(pattern);
    return entry ? entry->automaton.get() : nullptr;
}

void register_native(nb::handle pattern, nb::handle phrases, nb::handle lowered_phrases) {
    auto &registry = native_registry();
    if (auto found = registry.find(pattern.ptr()); found != registry.end()) {
        // `re`'s compile cache gave back a pattern that already has its automaton.
        found->second.binding_for(phrases, lowered_phrases);
        return;
    }
    std::vector<std::u32string> texts;
    nb::dict first_of_text;
    for (nb::handle phrase : nb::borrow<nb::list>(lowered_phrases)) {
        if (!PyUnicode_Check(phrase.ptr())) {
            return;
        }
        texts.push_back(text_of(phrase));
        // Keyed by an exact text, whose hash and compare run no Python code (a subclass's may).
        nb::object key = PyUnicode_CheckExact(phrase.ptr())
                             ? nb::borrow(phrase)
                             : pyhost::owned(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, texts.back().data(),
                                                                       static_cast<Py_ssize_t>(texts.back().size())));
        if (!first_of_text.contains(key)) {
            first_of_text[key] = texts.size() - 1;
        }
    }
    auto automaton = PhraseAutomaton::build(texts);
    if (!automaton) {
        return;
    }
    PyObject *key = pattern.ptr();
    nb::object on_death = nb::cpp_function([key](nb::handle) { native_registry().erase(key); });
    PyObject *ref = PyWeakref_NewRef(pattern.ptr(), on_death.ptr());
    if (!ref) {
        PyErr_Clear();
        return;
    }
    NativeEntry &entry = registry[key] = NativeEntry{nb::steal(ref), std::move(automaton), std::move(first_of_text), {}};
    entry.binding_for(phrases, lowered_phrases);
}

nb::object native_findall(nb::handle pattern, nb::handle text, Scratch &scratch) {
    const PhraseAutomaton *automaton = native_for(pattern);
    if (!automaton || !PyUnicode_Check(text.ptr())) {
        return nb::none();
    }
    nb::list out;
    for (auto span : automaton->find_all(text.ptr(), scratch)) {
        out.append(pyhost::owned(PyUnicode_Substring(text.ptr(), span.start, span.end)));
    }
    return out;
}

void remember_re_escape(nb::handle re) {
    nb::object function = re.attr("escape");
    nb::object table = re.attr("_special_chars_map");
    // The table must be the one this file spells out, character for character.
    nb::dict expected;
    for (const char *c = kSpecial; *c; ++c) {
        char escaped[] = {'\\', *c, 0};
        expected[nb::int_(static_cast<int>(*c))] = nb::str(escaped, 2);
    }
    if (PyFunction_Check(function.ptr()) && expected.equal(table)) {
        re_escape() = ReEscape{function, expected};
    }
}

bool is_re_escape(nb::handle escape) {
    const ReEscape &kept = re_escape();
    if (!kept.function.is_valid() || !escape.is(kept.function)) {
        return false;
    }
    // The function reads its table from its module at each call: it must still be the one `re` made.
    PyObject *table = PyDict_GetItemString(PyFunction_GetGlobals(escape.ptr()), "_special_chars_map");
    return table && pyhost::status(PyObject_RichCompareBool(table, kept.table.ptr(), Py_EQ)) == 1;
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
