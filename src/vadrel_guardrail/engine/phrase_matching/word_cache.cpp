// Filling the table of recent word look-ups (a scan's scratch) from the jump table.
#include <algorithm>

#include "vadrel_guardrail/engine/phrase_matching/word_cache.hpp"

namespace vadrel_guardrail::phrase_matching {

const PhraseAutomaton::WordStep &PhraseAutomaton::fill_word_cache(Scratch &scratch, WordStep &entry, std::uint64_t hash,
                                                                  std::uint64_t low, std::uint64_t high,
                                                                  std::uint32_t length, std::int32_t from) const {
    // The table starts as one entry that matches nothing and takes its size at the first miss: no larger than
    // the jump table, for short phrase lists.
    if (scratch.word_mask == 0) {
        std::size_t size = std::clamp<std::size_t>(jump_mask_ + 1, 1024, kWordCacheSize);
        scratch.words.assign(size, WordStep{});
        scratch.word_mask = size - 1;
        return fill_word_cache(scratch, scratch.words[(hash >> kWordCacheShift) & scratch.word_mask], hash, low,
                               high, length, from);
    }
    entry = WordStep{};
    entry.low = low;
    entry.high = high;
    entry.length = length;
    entry.from = from;
    std::uint16_t tag = jump_tag(hash);
    for (std::size_t slot = hash & jump_mask_; jump_tags_[slot] != 0; slot = (slot + 1) & jump_mask_) {
        const Jump &jump = jumps_[slot];
        if (jump_tags_[slot] != tag || jump.from != from || jump.length != length || jump.low != low ||
            jump.high != high) {
            continue;
        }
        entry.node = jump.node;
        const Node &node = nodes_[jump.node];
        entry.terminal = node.terminal;
        entry.subtree_min = node.subtree_min;
        // A word is followed by a character that is not a word character, most often a space: the step on a
        // space is kept, whatever it leads to (no phrase goes on with a space when it is -1). The first edge
        // would be no better a guess, and where it holds a word character it would never be taken.
        entry.edge_class = latin1_class_[' '];
        entry.edge_child = step(jump.node, entry.edge_class);
        if (entry.edge_child >= 0) {
            entry.edge_subtree_min = nodes_[entry.edge_child & ~kEnds].subtree_min;
        }
        for (int k = 0; k < 4; ++k) {
            entry.follows[k & 1] |= jump.follows[k];  // bit b of 256 lands on bit b mod 128
        }
        break;
    }
    return entry;
}

}  // namespace vadrel_guardrail::phrase_matching
