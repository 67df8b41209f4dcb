// What a `PhraseAutomaton` finds in a host string: its matches as they stand, or its matches in the lower-cased
// text told as phrases, with the text lower-cased only around the characters whose lower case a scan of the
// text itself cannot stand for.
#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"
#include "vadrel_guardrail/engine/phrase_matching/told_cache.hpp"

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

// What the lowered path keeps from check to check, so that a long stretch costs no fresh pages each time and a
// short text no allocation: the stretch's characters (of two or four bytes); the places of the characters that
// change when lowered, and for each its place in the stretch, its lower case's length and the growth before it.
struct Grown {
    Py_ssize_t at, size, before;
};
struct StretchBuffers {
    std::vector<Py_UCS4> wide;
    std::vector<Py_UCS2> narrow;
    std::vector<Py_ssize_t> changed;
    std::vector<Grown> grown;
};

// The calling thread's buffers, found once per check: a thread-local variable of a shared library costs a
// call at each use.
[[gnu::noinline]] StretchBuffers &stretch_buffers() {
    static thread_local StretchBuffers buffers;
    return buffers;
}

}  // namespace

// The phrase whose text equals the lower case of the match in `chars`, or -1 for none. A capital sigma's lower
// case is `sigma_at` of its place, asked only where a phrase holds a small sigma there.
template <typename CharT, typename SigmaAt>
int PhraseAutomaton::phrase_of_match_afresh(const CharT *chars, Py_ssize_t start, Py_ssize_t end,
                                            std::int32_t node, SigmaAt &&sigma_at) const {
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
    StretchBuffers &kept = stretch_buffers();
    std::vector<Py_UCS4> &lowered = kept.wide;
    std::vector<Py_UCS2> &narrow_lowered = kept.narrow;
    std::vector<Py_ssize_t> &changed = kept.changed;
    std::vector<Grown> &grown = kept.grown;
    auto changes = [&](Py_ssize_t j) {
        return (rules.flags(static_cast<std::uint32_t>(text[j])) & kChangesWhenLowered) != 0;
    };
    // The first place from `j` on, before `stop`, whose character changes; `stop` when none does.
    auto next_change = [&](Py_ssize_t j, Py_ssize_t stop) {
        if constexpr (sizeof(CharT) <= 2) {
            const std::uint8_t *flags = rules.plane_flags();
#if defined(__SSE2__)
            // Where one or two characters change (as a rule), eight characters are compared at a time.
            const std::vector<std::uint16_t> &few = rules.plane_changing();
            if constexpr (sizeof(CharT) == 2) {
                if (!few.empty() && few.size() <= 2) {
                    __m128i first = _mm_set1_epi16(static_cast<short>(few[0]));
                    __m128i second = _mm_set1_epi16(static_cast<short>(few.back()));
                    for (; j + 8 <= stop; j += 8) {
                        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + j));
                        int hits = _mm_movemask_epi8(
                            _mm_or_si128(_mm_cmpeq_epi16(v, first), _mm_cmpeq_epi16(v, second)));
                        if (hits != 0) {
                            return j + __builtin_ctz(static_cast<unsigned>(hits)) / 2;
                        }
                    }
                }
            }
#endif
            while (j < stop && !(flags[text[j]] & kChangesWhenLowered)) {
                ++j;
            }
        } else {
            while (j < stop && !changes(j)) {
                ++j;
            }
        }
        return j;
    };
    // Characters closer than `kJoin` to the last share its stretch: where they are many (Turkish capitals), the
    // text is scanned in long stretches rather than stopping at each. A stretch ends after about `kLongest`
    // characters, so that they are read again while the cache still holds them. Where the next such character
    // is near (or near the text's start), its stretch starts at once, without a scan of the text itself.
    constexpr Py_ssize_t kJoin = 512, kLongest = 32768;
    bool dense = sizeof(CharT) == 2;
    Py_ssize_t from = 0, resume = 0;
    while (from < length) {
        Py_ssize_t resume_before = resume;
        Py_ssize_t tried = from, changing = length;
        if (dense) {
            Py_ssize_t near = std::min(length, from + reach_ + kJoin + 1);
            changing = next_change(from, near);
            changing = changing == near ? length : changing;
        }
        if (changing == length) {
            tried = scan<true>(text, length, from, length, resume, pending);
            if (tried >= length) {
                break;
            }
            changing = next_change(tried, length);
        }
        // The candidates from `trusted` on were not tried or may have read the character: they are tried over
        // a stretch lower-cased apart, which runs on until `reach_` characters past the last such character
        // nearby, and `reach_` more for the candidates before it to read.
        Py_ssize_t trusted = std::max(from, std::min(tried, changing - reach_));
        while (!spans.empty() && spans.back().start >= trusted) {
            spans.pop_back();
            nodes.pop_back();
        }
        resume = spans.empty() ? resume_before : spans.back().end;
        tell_pending();
        Py_ssize_t begin = trusted > 0 ? trusted - 1 : 0;  // with the character before, for its word flag
        // The places of the characters that change, found in one pass that also finds where the stretch ends.
        changed.clear();
        for (Py_ssize_t j = next_change(begin, changing); j < changing; j = next_change(j + 1, changing)) {
            changed.push_back(j);
        }
        changed.push_back(changing);
        Py_ssize_t last = changing;
        dense = false;
        for (Py_ssize_t j = changing + 1;; ++j) {
            Py_ssize_t stop = std::min(length, last + 2 * reach_ + kJoin + 1);
            j = next_change(j, stop);
            if (j == stop) {
                break;
            }
            // Cut only past the stretch's end, which then holds no such character unlowered.
            if (j - begin > kLongest && j > last + 2 * reach_) {
                dense = true;
                break;
            }
            changed.push_back(j);
            last = j;
        }
        Py_ssize_t end = std::min(length, last + 1 + 2 * reach_);
        // The stretch's length first, so that the characters are then written without a check each; the
        // buffer only grows.
        grown.clear();
        Py_ssize_t growth = 0;
        const std::u32string *lower = nullptr;
        std::uint32_t lowered_char = 0;
        auto lower_of = [&](std::uint32_t c) -> const std::u32string & {
            if (!lower || c != lowered_char) {  // mostly one character again and again
                lower = &rules.full_lower(c);
                lowered_char = c;
            }
            return *lower;
        };
        for (Py_ssize_t j : changed) {
            Py_ssize_t size = static_cast<Py_ssize_t>(lower_of(static_cast<std::uint32_t>(text[j])).size());
            grown.push_back({j - begin + growth, size, growth});
            growth += size - 1;
        }
        Py_ssize_t stretch_length = end - begin + growth;
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
        Py_ssize_t shift = stretch_length - (end - begin);
        Py_ssize_t handoff = end < length ? end - reach_ : length;
        Py_ssize_t stretch_resume = resume > trusted ? resume - begin : 0;
        Py_ssize_t stretch_limit = handoff - begin + shift;
        auto sigma_in_stretch = [&](Py_ssize_t at) { return rules.sigma_lowered(text, length, origin(at)); };
        // The stretch written into `buffer` (of the text's width, or of four bytes) and scanned.
        auto write_and_scan = [&](auto &buffer) {
            using StretchT = typename std::remove_reference_t<decltype(buffer)>::value_type;
            if (buffer.size() < static_cast<std::size_t>(stretch_length)) {
                buffer.resize(static_cast<std::size_t>(stretch_length));
            }
            StretchT *out = buffer.data();
            Py_ssize_t from_text = begin;
            auto widen = [&](Py_ssize_t upto) {
                const CharT *source = text + from_text;
                const Py_ssize_t count = upto - from_text;
                if constexpr (sizeof(StretchT) == sizeof(CharT)) {
                    std::memcpy(out, source, static_cast<std::size_t>(count) * sizeof(CharT));
                } else {
                    StretchT *target = out;
                    for (Py_ssize_t k = 0; k < count; ++k) {
                        target[k] = static_cast<StretchT>(source[k]);
                    }
                }
                out += count;
                from_text = upto;
            };
            for (const Grown &g : grown) {
                widen(begin + g.at - g.before);  // up to the changing character's place in the text
                for (char32_t c : lower_of(static_cast<std::uint32_t>(text[from_text++]))) {
                    *out++ = static_cast<StretchT>(c);
                }
            }
            widen(end);
            const StretchT *stretch = buffer.data();
            auto in_stretch = sink_of([&](Py_ssize_t start, Py_ssize_t stop, std::int32_t node) {
                tell(phrase_of_match(stretch, start, stop, node, sigma_in_stretch),
                     [&] { return lowered_text(rules, stretch, start, stop, sigma_in_stretch); });
            });
            scan<false>(stretch, stretch_length, trusted - begin, stretch_limit, stretch_resume, in_stretch);
        };
        // Two-byte text whose changing characters lower within the plane keeps its width: half the bytes to
        // write and read.
        if constexpr (sizeof(CharT) == 2) {
            if (std::all_of(changed.begin(), changed.end(), [&](Py_ssize_t j) {
                    const std::u32string &l = lower_of(static_cast<std::uint32_t>(text[j]));
                    return std::all_of(l.begin(), l.end(), [](char32_t c) { return c < kBmp; });
                })) {
                write_and_scan(narrow_lowered);
            } else {
                write_and_scan(lowered);
            }
        } else {
            write_and_scan(lowered);
        }
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
