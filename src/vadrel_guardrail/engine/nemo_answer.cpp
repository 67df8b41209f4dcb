// Reads a NeMo self-check answer ("safe", "unsafe S1, S6", ...) into the verdict list the rails expect.
#include "vadrel_guardrail/engine/nemo_answer.hpp"

#include <string_view>
#include <vector>

#include "pyhost/raising.hpp"

namespace vadrel_guardrail::nemo_answer {
namespace {

constexpr Py_ssize_t kShownCharacters = 200;

// A word: a run of letters, digits and underscores, as a regular expression's \w reads them.
struct Word {
    Py_ssize_t start;
    Py_ssize_t end;
};

std::vector<Word> words(nb::handle text) {
    PyObject *p = text.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(p);
    const int kind = PyUnicode_KIND(p);
    const void *data = PyUnicode_DATA(p);
    std::vector<Word> out;
    Py_ssize_t i = 0;
    while (i < length) {
        auto is_word = [&](Py_ssize_t at) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, at);
            return c == '_' || Py_UNICODE_ISALNUM(c);
        };
        if (!is_word(i)) {
            ++i;
            continue;
        }
        const Py_ssize_t start = i;
        while (i < length && is_word(i)) ++i;
        out.push_back({start, i});
    }
    return out;
}

// Whether the word is `expected` (lower-case ASCII), in any case.
bool is(nb::handle text, Word w, std::string_view expected) {
    if (w.end - w.start != static_cast<Py_ssize_t>(expected.size())) return false;
    const int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        Py_UCS4 c = PyUnicode_READ(kind, data, w.start + static_cast<Py_ssize_t>(k));
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<Py_UCS4>(expected[k])) return false;
    }
    return true;
}

// A category code as the safety configuration writes them: a few ASCII letters, then digits ("S6", "DT2").
bool is_code(nb::handle text, Word w) {
    const int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    Py_ssize_t i = w.start;
    auto letter = [](Py_UCS4 c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    while (i < w.end && i - w.start < 3 && letter(PyUnicode_READ(kind, data, i))) ++i;
    if (i == w.start || i == w.end) return false;
    for (; i < w.end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') return false;
    }
    return true;
}

nb::object substring(nb::handle text, Py_ssize_t start, Py_ssize_t end) {
    return pyhost::owned(PyUnicode_Substring(text.ptr(), start, end));
}

}  // namespace

nb::list parse(nb::handle answer) {
    nb::str text = nb::str(answer);
    std::vector<Word> found = words(text);
    nb::list verdict;
    std::size_t codes_from = found.size();  // the first word after an "unsafe" verdict
    if (!found.empty() && (is(text, found[0], "safe") || is(text, found[0], "no"))) {
        verdict.append(true);
        return verdict;
    }
    if (!found.empty() && is(text, found[0], "unsafe")) {
        codes_from = 1;
    } else if (found.size() > 1 && is(text, found[0], "not") && is(text, found[1], "safe")) {
        codes_from = 2;
    } else if (found.empty() || !is(text, found[0], "yes")) {
        nb::object shown = substring(text, 0, kShownCharacters);
        nb::module_::import_("vadrel_guardrail.engine.nemo_engine")
            .attr("logger")
            .attr("warning")(nb::str("Could not read the safety model's answer, counted as unsafe: {!r}").format(shown));
    }
    verdict.append(false);
    for (std::size_t k = codes_from; k < found.size(); ++k) {
        if (is_code(text, found[k])) {
            verdict.append(substring(text, found[k].start, found[k].end));
        }
    }
    return verdict;
}

}  // namespace vadrel_guardrail::nemo_answer
