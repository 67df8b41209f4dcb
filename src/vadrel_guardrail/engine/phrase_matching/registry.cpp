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

// Escaping a phrase for the prepared pattern in one pass over its characters, as `re.escape` is seen to escape:
// its answer for a probe of every ASCII character and a few others, asked once at import (which characters it
// escapes, a bit each) and again at each build (that it still answers the same).
struct ReEscape {
    nb::object function;
    nb::object probe;
    nb::object answer;  // `function(probe)` at import
    std::uint64_t special[2] = {};
};

ReEscape &re_escape() {
    static auto *kept = new ReEscape();  // never destroyed: it holds Python objects
    return *kept;
}

bool special(Py_UCS4 c) {
    return c < 128 && (re_escape().special[c / 64] >> (c % 64) & 1) != 0;
}

// `escape(probe)`, or null when it raises an ordinary error or answers other than an exact text.
nb::object escape_probe(nb::handle escape, nb::handle probe) {
    PyObject *answer = PyObject_CallOneArg(escape.ptr(), probe.ptr());
    if (!answer && !PyErr_ExceptionMatches(PyExc_Exception)) {
        throw nb::python_error();  // an interruption, not an answer
    }
    PyErr_Clear();
    if (!answer || !PyUnicode_CheckExact(answer)) {
        Py_XDECREF(answer);
        return nb::object();
    }
    return nb::steal(answer);
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
    nb::tuple snapshot = pyhost::snapshot(phrases);
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
    std::u32string probe;
    for (char32_t c = 0; c < 128; ++c) {
        probe.push_back(c);
    }
    probe += U"\u00e9\u0130\u03a3\u20ac\U0001f600";  // wider characters, which it leaves as they are
    nb::object text = pyhost::owned(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, probe.data(),
                                                              static_cast<Py_ssize_t>(probe.size())));
    nb::object function = re.attr("escape");
    nb::object answer = escape_probe(function, text);
    if (!answer.is_valid()) {
        return;  // each build calls it for each phrase, and meets what it raises there
    }
    // Each character as it is, or an ASCII one after a backslash; anything else calls `re.escape` at each build.
    ReEscape kept{function, text, answer};
    Py_ssize_t at = 0, length = PyUnicode_GET_LENGTH(answer.ptr());
    for (char32_t c : probe) {
        bool escaped = c < 128 && at + 1 < length && PyUnicode_READ_CHAR(answer.ptr(), at) == '\\' &&
                       PyUnicode_READ_CHAR(answer.ptr(), at + 1) == c;
        if (!escaped && (at >= length || PyUnicode_READ_CHAR(answer.ptr(), at) != c)) {
            return;
        }
        if (escaped) {
            kept.special[c / 64] |= std::uint64_t{1} << (c % 64);
        }
        at += escaped ? 2 : 1;
    }
    if (at == length) {
        re_escape() = std::move(kept);
    }
}

bool is_re_escape(nb::handle escape) {
    const ReEscape &kept = re_escape();
    if (!kept.function.is_valid() || !escape.is(kept.function)) {
        return false;
    }
    // It may read a table of its own at each call: it must still answer as it did.
    nb::object answer = escape_probe(escape, kept.probe);
    return answer.is_valid() && PyUnicode_Compare(answer.ptr(), kept.answer.ptr()) == 0;
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
