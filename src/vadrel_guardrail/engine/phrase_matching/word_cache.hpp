// The word look-ups that a text makes again and again, kept close at hand. A text holds few distinct words
// however long it is, so its look-ups (a word, from the root or from a node inside a walk) repeat; the jump
// table that answers them is large and sparse, and each of its answers is a wait on memory. A small table of
// recent answers, the misses included, serves the repeats from cache.
#pragma once

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/word_filter.hpp"

namespace vadrel_guardrail::phrase_matching {

// The step of the word with key `low`, `high` and `length` from `from`, node -1 when no phrase goes on with
// it. The answer is good until the next look-up.
inline const PhraseAutomaton::WordStep &PhraseAutomaton::cached_jump(Scratch &scratch, std::uint64_t hash,
                                                                     std::uint64_t low, std::uint64_t high,
                                                                     std::uint32_t length, std::int32_t from) const {
    WordStep &entry = scratch.words[(hash >> kWordCacheShift) & scratch.word_mask];
    if (entry.length == length && entry.from == from && entry.low == low && entry.high == high) {
        return entry;
    }
    return fill_word_cache(scratch, entry, hash, low, high, length, from);
}

// Whether a phrase can go on from a word with `follows` when the classes of the three characters after it are
// these.
inline bool step_follows(const std::uint64_t *follows, std::uint32_t first, std::uint32_t second,
                         std::uint32_t third) {
    std::uint32_t bit = follow_bit(first, second, third) & 127;
    return ((follows[bit >> 6] >> (bit & 63)) & 1u) != 0;
}

}  // namespace vadrel_guardrail::phrase_matching
