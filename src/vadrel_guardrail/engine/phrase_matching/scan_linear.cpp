// The scans that go character by character: Aho–Corasick's, and the walk from every word boundary.
#include <algorithm>
#include <unordered_map>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"

namespace vadrel_guardrail::phrase_matching {

template <bool kLowering, typename CharT>
Py_ssize_t PhraseAutomaton::scan_linear(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                                        Py_ssize_t &resume, MatchSink &sink) const {
    // At each word start, the phrase of smallest list index that ends there on a boundary (found down the output
    // links of the places where phrases end) is kept until no phrase that starts there can still end.
    const CaseRules &rules = *rules_;
    auto word = [&](Py_ssize_t j) { return rules.word(static_cast<std::uint32_t>(text[j])); };
    // The text is read in blocks: first the transitions, noting where a phrase ends, then those places alone; a
    // start waits at most the longest phrase and a block.
    constexpr Py_ssize_t kBlock = 64;
    std::size_t span = 1;
    while (span < static_cast<std::size_t>(longest_) + 2 + kBlock) {
        span *= 2;
    }
    const std::size_t mask = span - 1;
    Scratch &scratch = *sink.scratch;
    std::vector<std::int32_t> &best = scratch.best;  // by start, modulo `span`
    best.assign(span, -1);
    std::size_t waiting = 0;  // starts with a phrase in `best`
    Py_ssize_t settled = from;  // the starts before it are reported
    auto settle = [&](Py_ssize_t until) {
        if (waiting == 0) {
            settled = std::max(settled, until);
            return;
        }
        for (; settled < until; ++settled) {
            std::int32_t &kept = best[static_cast<std::size_t>(settled) & mask];
            if (kept >= 0) {
                --waiting;
                if (settled >= resume) {
                    resume = settled + depth_[kept];
                    sink.match(settled, resume, kept);
                }
            }
            kept = -1;
        }
    };
    const Py_ssize_t stop = limit < length ? std::min(length, limit + longest_ + 1) : length;
    // A DFA built lazily: each state met gets a slot whose row gives, by class, the next state's slot (-1: not yet
    // known); a repetitive text goes round a few, at one load per character. When the slots run out, they start
    // over.
    unsigned shift = 0;
    while ((std::uint32_t{1} << shift) < class_count_) {
        ++shift;
    }
    const std::int32_t slots = std::clamp<std::int32_t>((1 << 16) >> shift, 8, 256);
    std::vector<std::int32_t> &rows = scratch.rows;
    rows.resize(static_cast<std::size_t>(slots) << shift);
    auto &slot_states = scratch.states;  // each slot's state, and the node down its links where a phrase ends
    slot_states.resize(static_cast<std::size_t>(slots));
    auto &slot_of = scratch.slot_of;  // by state
    slot_of.clear();
    std::int32_t used = 0;
    std::size_t restarts = 0;
    auto slot_for = [&](std::int32_t state) {
        auto found = slot_of.find(state);
        if (found != slot_of.end()) {
            return found->second;
        }
        if (used == slots) {
            slot_of.clear();
            used = 0;
            ++restarts;
        }
        std::int32_t slot = used++;
        slot_of.emplace(state, slot);
        slot_states[static_cast<std::size_t>(slot)] = {state, nodes_[state].terminal >= 0 ? state : output_[state]};
        std::fill_n(rows.data() + (static_cast<std::size_t>(slot) << shift), std::size_t{1} << shift, -1);
        return slot;
    };
    std::int32_t current = slot_for(0);
    for (Py_ssize_t j = from; j < stop;) {
        const Py_ssize_t read_to = std::min(stop, j + kBlock);
        const Py_ssize_t block_end = kLowering ? rules.first_changing(text, j, read_to) : read_to;
        const bool changing = block_end < read_to;
        Py_ssize_t ends_at[kBlock];
        std::int32_t ends_node[kBlock];
        int found = 0;
        for (; j < block_end; ++j) {
            std::uint32_t cls = class_of(text[j]);
            std::int32_t &row = rows[(static_cast<std::size_t>(current) << shift) | cls];
            std::int32_t next = row;
            if (next < 0) {
                std::int32_t state = slot_states[static_cast<std::size_t>(current)].first;
                std::int32_t child;
                while ((child = step(state, cls)) < 0 && state != 0) {
                    state = fail_[state];
                }
                state = child < 0 ? 0 : child & ~kEnds;
                std::size_t restarts_before = restarts;
                next = slot_for(state);
                if (restarts == restarts_before) {  // else the row is another state's now
                    row = next;
                }
            }
            current = next;
            std::int32_t ends = slot_states[static_cast<std::size_t>(current)].second;
            if (ends >= 0) {
                ends_at[found] = j + 1;
                ends_node[found++] = ends;
            }
        }
        for (int f = 0; f < found; ++f) {
            // The phrases that end here, where the word flag changes.
            Py_ssize_t end = ends_at[f];
            if (end < length && word(end - 1) == word(end)) {
                continue;
            }
            if (end == length && !word(end - 1)) {
                continue;
            }
            for (std::int32_t w = ends_node[f]; w >= 0; w = output_[w]) {
                Py_ssize_t start = end - depth_[w];
                if (start >= from && start < limit && (start > 0 && word(start - 1)) != word(start)) {
                    std::int32_t &kept = best[static_cast<std::size_t>(start) & mask];
                    if (kept < 0) {
                        kept = w;
                        ++waiting;
                    } else if (nodes_[w].terminal < nodes_[kept].terminal) {
                        kept = w;
                    }
                }
            }
        }
        // The text up to `block_end` is read: no phrase that starts `longest_` before it can still end.
        settle(block_end - longest_);
        if (changing) {
            return settled;
        }
    }
    settle(std::min(limit, length));
    return length;
}

template <bool kLowering, typename CharT>
Py_ssize_t PhraseAutomaton::scan_everywhere(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                                            Py_ssize_t &resume, MatchSink &sink) const {
    const CaseRules &rules = *rules_;
    Py_ssize_t stop = length;
    // This scan reads ahead of its candidates and jumps over the inside of matches, so characters are checked
    // beforehand, and candidates that could read the first one that changes when lowered are left.
    if (Py_ssize_t changing = kLowering ? rules.first_changing(text, from, length) : length; changing < length) {
        stop = limit = std::max(from, changing - reach_);
    }
    const std::int32_t empty_phrase = nodes_[0].terminal;
    auto word = [&](CharT c) -> bool { return rules.word(static_cast<std::uint32_t>(c)); };

    // `findall`: after an empty match the next search starts at the same place but may not match empty there.
    Py_ssize_t no_empty_at = -1;
    Walk walk{0, 0, sink.scratch};
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
        // The smallest list index among the phrases that match here and end on a boundary wins (the empty one,
        // not twice at one place).
        walk.node = 0;
        const Py_ssize_t end = match_at(text, length, i, walk);
        if (empty_phrase >= 0 && i != no_empty_at && (end < 0 || nodes_[walk.node].terminal > empty_phrase)) {
            sink.match(i, i, 0);
            no_empty_at = i;  // search again here, for a non-empty match only
            continue;
        }
        if (end > i) {
            sink.match(i, end, walk.node);
            resume = i = end;
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

VADREL_PHRASE_SCAN_INSTANCES(scan_linear)
VADREL_PHRASE_SCAN_INSTANCES(scan_everywhere)

}  // namespace vadrel_guardrail::phrase_matching
