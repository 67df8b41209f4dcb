// The scans of a `PhraseAutomaton` that go character by character: with failure links, which read each character
// once whatever the phrases, and from every word boundary, for phrases that can start elsewhere than at a word.
#include <algorithm>
#include <climits>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"
#include "vadrel_guardrail/engine/phrase_matching/class_of.hpp"

namespace vadrel_guardrail::phrase_matching {

template <bool kLowering, typename CharT>
Py_ssize_t PhraseAutomaton::scan_linear(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                                        Py_ssize_t &resume, MatchSink &sink) const {
    // One state per place: the node of the longest end of the text so far that is a path from the root. The
    // phrases that end at a place are that node's and those down its output links; at each word start the one
    // of smallest list index that ends on a boundary is kept, until no phrase that starts there can still end.
    const CaseRules &rules = *rules_;
    auto word = [&](Py_ssize_t j) { return rules.word(static_cast<std::uint32_t>(text[j])); };
    std::size_t span = 1;
    while (span < static_cast<std::size_t>(longest_) + 2) {
        span *= 2;
    }
    const std::size_t mask = span - 1;
    std::vector<std::int32_t> best(span, -1);  // by start, modulo `span`
    Py_ssize_t settled = from;  // the starts before it are told
    auto settle = [&](Py_ssize_t until) {
        for (; settled < until; ++settled) {
            std::int32_t &slot = best[static_cast<std::size_t>(settled) & mask];
            if (slot >= 0 && settled >= resume) {
                resume = settled + depth_[slot];
                sink.match(settled, resume, slot);
            }
            slot = -1;
        }
    };
    const Py_ssize_t stop = limit < length ? std::min(length, limit + longest_ + 1) : length;
    // The transitions met, cached by state and class, with the first node down the output links (or the
    // state itself) where a phrase ends: a repetitive text goes round a few of them.
    struct Transition {
        std::int32_t state = -1;
        std::uint32_t cls = 0;
        std::int32_t next = 0;
        std::int32_t ends = -1;
    };
    constexpr std::size_t kCached = 4096;
    std::vector<Transition> cache(kCached);
    std::int32_t state = 0, ends = -1;
    std::uint8_t flags = from < length ? rules.flags(static_cast<std::uint32_t>(text[from])) : 0;
    for (Py_ssize_t j = from; j < stop; ++j) {
        if constexpr (kLowering) {
            if (flags & kChangesWhenLowered) {
                return settled;
            }
        }
        std::uint32_t cls = class_of(text[j]);
        Transition &cached = cache[(static_cast<std::size_t>(state) * 131 + cls) & (kCached - 1)];
        if (cached.state == state && cached.cls == cls) {
            state = cached.next;
            ends = cached.ends;
        } else {
            cached.state = state;
            cached.cls = cls;
            std::int32_t next;
            while ((next = step(state, cls)) < 0 && state != 0) {
                state = fail_[state];
            }
            state = next < 0 ? 0 : next & ~kEnds;
            ends = nodes_[state].terminal >= 0 ? state : output_[state];
            cached.next = state;
            cached.ends = ends;
        }
        Py_ssize_t end = j + 1;
        std::uint8_t next_flags = end < length ? rules.flags(static_cast<std::uint32_t>(text[end])) : 0;
        bool boundary = ((flags ^ next_flags) & kWord) != 0;
        flags = next_flags;
        if (boundary) {
            for (std::int32_t w = ends; w >= 0; w = output_[w]) {
                Py_ssize_t start = end - depth_[w];
                if (start >= from && start < limit && (start > 0 && word(start - 1)) != word(start)) {
                    std::int32_t &slot = best[static_cast<std::size_t>(start) & mask];
                    if (slot < 0 || nodes_[w].terminal < nodes_[slot].terminal) {
                        slot = w;
                    }
                }
            }
        }
        // The text up to `end` is read: no phrase that starts `longest_` before it can still end.
        settle(end - longest_);
    }
    settle(std::min(limit, length));
    return length;
}

template <bool kLowering, typename CharT>
Py_ssize_t PhraseAutomaton::scan_everywhere(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                                            Py_ssize_t &resume, MatchSink &sink) const {
    const CaseRules &rules = *rules_;
    Py_ssize_t stop = length;
    if constexpr (kLowering) {
        // This scan reads ahead of its candidates and jumps over the inside of matches, so characters are
        // checked beforehand, and candidates that could read the first one that changes are left.
        for (Py_ssize_t i = from; i < length; ++i) {
            if (rules.flags(static_cast<std::uint32_t>(text[i])) & kChangesWhenLowered) {
                stop = limit = std::max(from, i - reach_);
                break;
            }
        }
    }
    const Node *nodes = nodes_.data();
    const std::int32_t empty_phrase = nodes[0].terminal;
    auto word = [&](CharT c) -> bool { return rules.word(static_cast<std::uint32_t>(c)); };

    // `findall`: after an empty match the next search starts at the same place but may not match empty there.
    Py_ssize_t no_empty_at = -1;
    Py_ssize_t i = std::max(from, resume);
    bool prev_word = i > 0 && word(text[i - 1]);  // whether the character before position i is a word character
    for (;;) {
        // Matches start only at word boundaries, where the word flag changes; skip to the next one.
        while (i < length && word(text[i]) == prev_word) {
            ++i;
        }
        if ((i >= limit && limit < length) || (i == length && !prev_word)) {
            return stop;  // no boundary at the end of a text that ends with a non-word character
        }
        // The smallest list index among the phrases that match here and end on a boundary wins.
        std::int32_t best = INT_MAX;
        Py_ssize_t best_end = -1;
        std::int32_t best_node = 0;
        if (empty_phrase >= 0 && i != no_empty_at) {
            best = empty_phrase;
            best_end = i;
        }
        std::int32_t node = 0;
        for (Py_ssize_t j = i; j < length;) {
            std::int32_t child = step(node, class_of(text[j]));
            if (child < 0 || nodes[child & ~kEnds].subtree_min >= best) {
                break;
            }
            node = child & ~kEnds;
            ++j;
            std::int32_t terminal = nodes[node].terminal;
            if (terminal >= 0 && terminal < best && word(text[j - 1]) != (j < length && word(text[j]))) {
                best = terminal;
                best_end = j;
                best_node = node;
            }
        }
        if (best_end == i) {
            sink.match(i, i, 0);
            no_empty_at = i;  // search again here, for a non-empty match only
            continue;
        }
        if (best_end > i) {
            sink.match(i, best_end, best_node);
            resume = i = best_end;
            prev_word = word(text[i - 1]);
            continue;
        }
        if (i == length) {
            return stop;
        }
        prev_word = !prev_word;  // a boundary: the character at i has the other flag
        ++i;
    }
}

template Py_ssize_t PhraseAutomaton::scan_linear<false>(const Py_UCS1 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                        MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_linear<false>(const Py_UCS2 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                        MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_linear<false>(const Py_UCS4 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                        MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_linear<true>(const Py_UCS1 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                       MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_linear<true>(const Py_UCS2 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                       MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_linear<true>(const Py_UCS4 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                       MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_everywhere<false>(const Py_UCS1 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                            MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_everywhere<false>(const Py_UCS2 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                            MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_everywhere<false>(const Py_UCS4 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                            MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_everywhere<true>(const Py_UCS1 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                           MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_everywhere<true>(const Py_UCS2 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                           MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_everywhere<true>(const Py_UCS4 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                           MatchSink &) const;

}  // namespace vadrel_guardrail::phrase_matching
