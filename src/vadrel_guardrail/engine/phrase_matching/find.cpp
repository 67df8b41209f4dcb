// What a `PhraseAutomaton` finds in a host string: its matches as they stand, or its matches in the lower-cased
// text told as phrases, with the text lower-cased only around the characters whose lower case a scan of the
// text itself cannot stand for.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace {

// Calls `run` with the string's storage, typed by its width.
template <typename Run>
void with_chars(PyObject *text, Run &&run) {
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        run(static_cast<const Py_UCS1 *>(data));
        break;
    case PyUnicode_2BYTE_KIND:
        run(static_cast<const Py_UCS2 *>(data));
        break;
    default:
        run(static_cast<const Py_UCS4 *>(data));
        break;
    }
}

}  // namespace

// The phrase whose text equals the lower case of the match in `chars`, or -1 for none. A capital sigma's lower
// case is `sigma_at` of its place, asked only where a phrase holds a small sigma there.
template <typename CharT, typename SigmaAt>
int PhraseAutomaton::phrase_of_match(const CharT *chars, Py_ssize_t start, Py_ssize_t end, std::int32_t node,
                                     SigmaAt &&sigma_at) const {
    for (std::uint32_t t = texts_begin_[node]; t < texts_begin_[node + 1]; ++t) {
        const std::u32string &phrase = phrases_[texts_[t]];
        if (static_cast<Py_ssize_t>(phrase.size()) != end - start) {
            continue;
        }
        bool equal = true;
        for (Py_ssize_t j = start; j < end && equal; ++j) {
            std::uint32_t c = static_cast<std::uint32_t>(chars[j]);
            std::uint32_t p = phrase[static_cast<std::size_t>(j - start)];
            bool sigma = c == kCapitalSigma && (p == kSmallSigma || p == kFinalSigma);
            equal = (sigma ? sigma_at(j) : rules_->lower(c)) == p;
        }
        if (equal) {
            return texts_[t];
        }
    }
    return -1;
}

// The lower case of the match from `start` to `end` in `chars`, a capital sigma's as `sigma_at` of its place.
template <typename CharT, typename SigmaAt>
static std::u32string lowered_text(const CaseRules &rules, const CharT *chars, Py_ssize_t start, Py_ssize_t end,
                                   SigmaAt &&sigma_at) {
    std::u32string out;
    out.reserve(static_cast<std::size_t>(end - start));
    for (Py_ssize_t j = start; j < end; ++j) {
        std::uint32_t c = static_cast<std::uint32_t>(chars[j]);
        out.push_back(static_cast<char32_t>(c == kCapitalSigma ? sigma_at(j) : rules.lower(c)));
    }
    return out;
}

template <typename CharT, typename Tell>
void PhraseAutomaton::scan_lowered(const CharT *text, Py_ssize_t length, Tell &&tell) const {
    const CaseRules &rules = *rules_;
    auto sigma_in_text = [&](Py_ssize_t at) { return rules.sigma_lowered(text, length, at); };
    // Matches in the text itself wait until no character that changes when lowered can undo them.
    std::vector<Span> spans;
    std::vector<std::int32_t> nodes;
    auto pending = sink_of([&](Py_ssize_t start, Py_ssize_t end, std::int32_t node) {
        spans.push_back({start, end});
        nodes.push_back(node);
    });
    auto tell_pending = [&] {
        for (std::size_t k = 0; k < spans.size(); ++k) {
            tell(phrase_of_match(text, spans[k].start, spans[k].end, nodes[k], sigma_in_text),
                 [&] { return lowered_text(rules, text, spans[k].start, spans[k].end, sigma_in_text); });
        }
        spans.clear();
        nodes.clear();
    };
    // The stretch's characters, kept from check to check so that a long stretch costs no fresh pages each
    // time, and where characters grew: their place in the stretch, their lower case's length, and the growth
    // before them.
    static thread_local std::vector<Py_UCS4> lowered;
    struct Grown {
        Py_ssize_t at, size, before;
    };
    std::vector<Grown> grown;
    Py_ssize_t from = 0, resume = 0;
    while (from < length) {
        Py_ssize_t resume_before = resume;
        Py_ssize_t tried = scan<true>(text, length, from, length, resume, pending);
        if (tried >= length) {
            break;
        }
        Py_ssize_t changing = tried;
        while (!(rules.flags(static_cast<std::uint32_t>(text[changing])) & kChangesWhenLowered)) {
            ++changing;
        }
        // The candidates from `trusted` on were not tried or may have read the character: they are tried over
        // a stretch lower-cased apart, which runs on until `reach_` characters past the last such character
        // nearby, and `reach_` more for the candidates before it to read. Characters closer than `kJoin` to
        // the last share its stretch: where they are many (Turkish capitals), the text is scanned in long
        // stretches rather than stopping at each.
        constexpr Py_ssize_t kJoin = 512;
        Py_ssize_t trusted = std::max(from, std::min(tried, changing - reach_));
        while (!spans.empty() && spans.back().start >= trusted) {
            spans.pop_back();
            nodes.pop_back();
        }
        resume = spans.empty() ? resume_before : spans.back().end;
        tell_pending();
        Py_ssize_t begin = trusted > 0 ? trusted - 1 : 0;  // with the character before, for its word flag
        Py_ssize_t last = changing;
        for (Py_ssize_t j = changing + 1; j < length && j <= last + 2 * reach_ + kJoin; ++j) {
            if (rules.flags(static_cast<std::uint32_t>(text[j])) & kChangesWhenLowered) {
                last = j;
            }
        }
        Py_ssize_t end = std::min(length, last + 1 + 2 * reach_);
        lowered.clear();
        lowered.reserve(static_cast<std::size_t>(end - begin) + 64);
        grown.clear();
        for (Py_ssize_t j = begin; j < end; ++j) {
            std::uint32_t c = static_cast<std::uint32_t>(text[j]);
            if (rules.flags(c) & kChangesWhenLowered) {
                const std::u32string &lower = rules.full_lower(c);
                Py_ssize_t at = static_cast<Py_ssize_t>(lowered.size());
                grown.push_back({at, static_cast<Py_ssize_t>(lower.size()), at - (j - begin)});
                lowered.insert(lowered.end(), lower.begin(), lower.end());
            } else {
                lowered.push_back(c);
            }
        }
        // The place in the text of the stretch's character at `at`.
        auto origin = [&](Py_ssize_t at) {
            auto after = std::upper_bound(grown.begin(), grown.end(), at,
                                          [](Py_ssize_t place, const Grown &g) { return place < g.at; });
            if (after == grown.begin()) {
                return begin + at;
            }
            const Grown &g = *(after - 1);
            return at < g.at + g.size ? begin + g.at - g.before : begin + at - (g.before + g.size - 1);
        };
        // The stretch's last `reach_` characters only serve the candidates before them, which the text itself
        // takes up again; after the last changing character, places in the stretch are the text's, shifted.
        Py_ssize_t shift = static_cast<Py_ssize_t>(lowered.size()) - (end - begin);
        Py_ssize_t handoff = end < length ? end - reach_ : length;
        Py_ssize_t stretch_resume = resume > trusted ? resume - begin : 0;
        auto sigma_in_stretch = [&](Py_ssize_t at) { return rules.sigma_lowered(text, length, origin(at)); };
        auto in_stretch = sink_of([&](Py_ssize_t start, Py_ssize_t stop, std::int32_t node) {
            tell(phrase_of_match(lowered.data(), start, stop, node, sigma_in_stretch),
                 [&] { return lowered_text(rules, lowered.data(), start, stop, sigma_in_stretch); });
        });
        Py_ssize_t stretch_limit = handoff - begin + shift;
        scan<false>(lowered.data(), static_cast<Py_ssize_t>(lowered.size()), trusted - begin, stretch_limit,
                    stretch_resume, in_stretch);
        from = resume = stretch_resume > stretch_limit ? stretch_resume - shift + begin : handoff;
    }
    tell_pending();
}

std::vector<Span> PhraseAutomaton::find_all(PyObject *text) const {
    std::vector<Span> out;
    auto collect = sink_of([&](Py_ssize_t start, Py_ssize_t end, std::int32_t) { out.push_back({start, end}); });
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    with_chars(text, [&](const auto *chars) {
        Py_ssize_t resume = 0;
        scan<false>(chars, length, 0, length, resume, collect);
    });
    return out;
}

void PhraseAutomaton::find_phrases_of_lowered(PyObject *text, std::vector<std::int32_t> &found, bool &matched,
                                              std::vector<std::u32string> &other_texts) const {
    found.clear();
    matched = false;
    other_texts.clear();
    std::vector<bool> seen;
    std::unordered_map<std::u32string, std::size_t> other_seen;
    auto tell = [&](int phrase, auto &&text_of_match) {
        matched = true;
        if (phrase >= 0) {
            if (seen.empty()) {
                seen.assign(phrases_.size(), false);
            }
            if (!seen[static_cast<std::size_t>(phrase)]) {
                seen[static_cast<std::size_t>(phrase)] = true;
                found.push_back(phrase);
            }
        } else {
            auto [it, added] = other_seen.emplace(text_of_match(), other_texts.size());
            if (added) {
                found.push_back(-1 - static_cast<std::int32_t>(other_texts.size()));
                other_texts.push_back(it->first);
            }
        }
    };
    with_chars(text, [&](const auto *chars) { scan_lowered(chars, PyUnicode_GET_LENGTH(text), tell); });
}

}  // namespace vadrel_guardrail::phrase_matching
