// The report layer: what a `PhraseAutomaton` finds in a Python string, as spans, or as the phrases whose text the
// matches in the lower-cased text lower-case to.
#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace {

// Calls `run` with the string's storage, typed by its width.
template <typename Run>
void with_chars(PyObject *text, Run &&run) {
    const void *data = PyUnicode_DATA(text);
    const int kind = PyUnicode_KIND(text);
    kind == PyUnicode_1BYTE_KIND   ? run(static_cast<const Py_UCS1 *>(data))
    : kind == PyUnicode_2BYTE_KIND ? run(static_cast<const Py_UCS2 *>(data))
                                   : run(static_cast<const Py_UCS4 *>(data));
}

// The lower case of the match from `start` to `end` in `chars`, a capital sigma's as `sigma_at` of its place.
template <typename CharT, typename SigmaAt>
std::u32string lowered_text(const CaseRules &rules, const CharT *chars, Py_ssize_t start, Py_ssize_t end,
                            SigmaAt &&sigma_at) {
    std::u32string out;
    out.reserve(static_cast<std::size_t>(end - start));
    for (Py_ssize_t j = start; j < end; ++j) {
        std::uint32_t c = static_cast<std::uint32_t>(chars[j]);
        out.push_back(static_cast<char32_t>(c == kCapitalSigma ? sigma_at(j) : rules.lower(c)));
    }
    return out;
}

}  // namespace

// The phrase whose text equals the lower case of the match in `chars`, or -1 for none. A capital sigma's lower
// case is `sigma_at` of its place, asked only where a phrase holds a small sigma there.
template <typename CharT, typename SigmaAt>
int PhraseAutomaton::phrase_of_match(const CharT *chars, Py_ssize_t start, Py_ssize_t end,
                                     std::int32_t node, SigmaAt &&sigma_at) const {
    for (std::uint32_t t = texts_begin_[node]; t < texts_begin_[node + 1]; ++t) {
        const std::u32string &phrase = phrases_[texts_[t]];
        if (static_cast<Py_ssize_t>(phrase.size()) != end - start) {
            continue;
        }
        // The match reached the node through the classes of the phrase's characters: it lowers to the phrase
        // at every place but those of `compared_`.
        auto equal_at = [&](Py_ssize_t j) {
            std::uint32_t c = static_cast<std::uint32_t>(chars[j]);
            std::uint32_t p = phrase[static_cast<std::size_t>(j - start)];
            bool sigma = c == kCapitalSigma && (p == kSmallSigma || p == kFinalSigma);
            return c == p || (sigma ? sigma_at(j) : rules_->lower(c)) == p;
        };
        const std::uint64_t places = compared_[static_cast<std::size_t>(texts_[t])];
        bool equal = true;
        if (places == ~std::uint64_t{0}) {
            for (Py_ssize_t j = start; j < end && equal; ++j) {
                equal = equal_at(j);
            }
        } else {
            for (std::uint64_t rest = places; rest != 0 && equal; rest &= rest - 1) {
                equal = equal_at(start + __builtin_ctzll(rest));
            }
        }
        if (equal) {
            return texts_[t];
        }
    }
    return -1;
}

template <typename CharT, typename SigmaAt>
int PhraseAutomaton::reported_phrase(Scratch &scratch, const CharT *chars, Py_ssize_t start, Py_ssize_t end,
                                     std::int32_t node, SigmaAt &&sigma_at) const {
    const Py_ssize_t length = end - start;
    const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(CharT);
    if (bytes > Reported::kBytes) {
        return phrase_of_match(chars, start, end, node, sigma_at);
    }
    static_assert(Reported::kBytes / 2 <= 64, "a sigma's place (of two bytes or more) must fit the bits");
    // Pairs of entries, as many as `enter` asked for this program, other programs' entries kept beside them.
    std::vector<Reported> &table = scratch.reported;
    if (table.size() < 2 * scratch.report_pairs) {
        table.resize(2 * scratch.report_pairs);
    }
    const auto program = static_cast<std::uint32_t>(serial_);
    Reported *pair = table.data() + 2 * ((((static_cast<std::uint32_t>(node) * 0x9E3779B1u) >> 16) ^ scratch.mix) &
                                         (scratch.report_pairs - 1));
    const CharT *raw = chars + start;
    auto finals_of = [&](std::uint64_t sigmas) {
        std::uint64_t finals = 0;
        for (; sigmas != 0; sigmas &= sigmas - 1) {
            int k = __builtin_ctzll(sigmas);
            finals |= static_cast<std::uint64_t>(sigma_at(start + k) == kFinalSigma) << k;
        }
        return finals;
    };
    for (const Reported *entry : {pair, pair + 1}) {
        if (entry->program == program && entry->node == node && entry->length == length &&
            entry->width == sizeof(CharT) && std::memcmp(entry->raw, raw, bytes) == 0 &&
            (entry->sigmas == 0 || finals_of(entry->sigmas) == entry->finals)) {
            return entry->phrase;
        }
    }
    const int phrase = phrase_of_match(chars, start, end, node, sigma_at);
    // The newest entry first; the older one gives way.
    pair[1] = pair[0];
    Reported &entry = pair[0];
    entry.program = program;
    entry.node = node;
    entry.phrase = phrase;
    entry.length = static_cast<std::uint16_t>(length);
    entry.width = sizeof(CharT);
    std::memcpy(entry.raw, raw, bytes);
    // A sigma's lower case hangs on the characters around the match where it differs between a cased and an
    // uncased character on either side of the raw text (an uncased one stands for the text's start and end).
    entry.sigmas = 0;
    char32_t padded[Reported::kBytes + 2];
    std::copy_n(raw, length, padded + 1);
    for (Py_ssize_t k = 0; k < length; ++k) {
        if (raw[k] != kCapitalSigma) {
            continue;
        }
        std::uint32_t forms = 0;
        for (char32_t before : {U'A', U' '}) {
            for (char32_t after : {U'A', U' '}) {
                padded[0] = before;
                padded[length + 1] = after;
                forms |= std::uint32_t{1} << (rules_->sigma_lowered(padded, length + 2, k + 1) == kFinalSigma);
            }
        }
        entry.sigmas |= static_cast<std::uint64_t>(forms == 3) << k;
    }
    entry.finals = finals_of(entry.sigmas);
    return phrase;
}

// Tells the lowered scan's matches as phrases into the scratch: each phrase once, and each text that equals no
// phrase once. Leaves the scratch's `seen` all false again, however the scan ends.
template <typename CharT>
class PhraseAutomaton::Teller final : public LoweredSink {
public:
    Teller(const PhraseAutomaton &automaton, Scratch &scratch, const CharT *text, Py_ssize_t length)
        : a_(automaton), scratch_(scratch), text_(text), length_(length) {}
    ~Teller() {
        for (std::int32_t phrase : scratch_.found) {
            if (phrase >= 0) {
                scratch_.seen[static_cast<std::size_t>(phrase)] = false;
            }
        }
    }

    void match(const Stretch *stretch, Py_ssize_t start, Py_ssize_t end, std::int32_t node) override {
        const CaseRules &rules = *a_.rules_;
        if (!stretch) {
            tell(text_, start, end, node, [&](Py_ssize_t at) { return rules.sigma_lowered(text_, length_, at); });
            return;
        }
        auto sigma_at = [&](Py_ssize_t at) { return rules.sigma_lowered(text_, length_, stretch->origin(at)); };
        if (stretch->narrow) {
            tell(static_cast<const Py_UCS2 *>(stretch->chars), start, end, node, sigma_at);
        } else {
            tell(static_cast<const Py_UCS4 *>(stretch->chars), start, end, node, sigma_at);
        }
    }

    bool matched = false;
    std::size_t found_texts = 0;  // the phrase texts told

private:
    template <typename C, typename SigmaAt>
    void tell(const C *chars, Py_ssize_t start, Py_ssize_t end, std::int32_t node, SigmaAt &&sigma_at) {
        matched = true;
        const int phrase = a_.reported_phrase(scratch_, chars, start, end, node, sigma_at);
        if (phrase >= 0) {
            if (!scratch_.seen[static_cast<std::size_t>(phrase)]) {
                scratch_.found.push_back(phrase);  // first, so that the destructor sees what is set
                scratch_.seen[static_cast<std::size_t>(phrase)] = true;
                ++found_texts;
            }
            return;
        }
        std::vector<std::u32string> &other_texts = scratch_.other_texts;
        auto [it, added] = other_seen_.emplace(lowered_text(*a_.rules_, chars, start, end, sigma_at),
                                               other_texts.size());
        if (added) {
            scratch_.found.push_back(-1 - static_cast<std::int32_t>(other_texts.size()));
            other_texts.push_back(it->first);
        }
    }

    const PhraseAutomaton &a_;
    Scratch &scratch_;
    const CharT *text_;
    Py_ssize_t length_;
    std::unordered_map<std::u32string, std::size_t> other_seen_;
};

std::vector<Span> PhraseAutomaton::find_all(PyObject *text, Scratch &scratch) const {
    enter(scratch);
    std::vector<Span> out;
    auto collect =
        sink_of([&](Py_ssize_t start, Py_ssize_t end, std::int32_t) { out.push_back({start, end}); }, scratch);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    with_chars(text, [&](const auto *chars) {
        Py_ssize_t resume = 0;
        scan<false>(chars, length, 0, length, resume, collect);
    });
    return out;
}

bool PhraseAutomaton::find_phrases_of_lowered(PyObject *text, Scratch &scratch, bool &matched, bool may_stop) const {
    enter(scratch);
    scratch.found.clear();
    scratch.other_texts.clear();
    if (scratch.seen.size() < phrases_.size()) {
        scratch.seen.resize(phrases_.size());
    }
    bool stopped = false;
    with_chars(text, [&](const auto *chars) {
        Teller<std::remove_cv_t<std::remove_pointer_t<decltype(chars)>>> teller(*this, scratch, chars,
                                                                               PyUnicode_GET_LENGTH(text));
        stopped = scan_lowered(chars, PyUnicode_GET_LENGTH(text), scratch, teller,
                               may_stop ? &teller.found_texts : nullptr);
        matched = teller.matched;
    });
    return stopped;
}

}  // namespace vadrel_guardrail::phrase_matching
