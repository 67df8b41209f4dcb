// A program's part of the scratch: taking it over, and filling the recent word look-ups from the jump table.
#include "vadrel_guardrail/engine/phrase_matching/scratch.hpp"

#include <algorithm>

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/word_filter.hpp"

namespace vadrel_guardrail::phrase_matching {

void PhraseAutomaton::enter(Scratch &scratch) const {
    if (scratch.program == serial_) {
        return;
    }
    scratch.program = serial_;
    // Entries carry the low half of a serial: when the high half changes, tags may repeat, and the tables empty.
    if (const auto era = static_cast<std::uint32_t>(serial_ >> 32); era != scratch.era) {
        std::fill(scratch.words.begin(), scratch.words.end(), WordStep{});
        std::fill(scratch.reported.begin(), scratch.reported.end(), Reported{});
        scratch.era = era;
    }
    scratch.mix = (serial_ * 0x9E3779B97F4A7C15ull) >> 40;
    // Recent word look-ups: no more than the jump table holds. Recent reports: two pairs a phrase text, up to
    // 4,096 pairs (a long list's matched texts are many), the table grown at the first report.
    if (use_jumps_) {
        const std::size_t size = std::clamp<std::size_t>(jump_mask_ + 1, 1024, kWordCacheSize);
        if (scratch.words.size() < size) {
            scratch.words.assign(size, WordStep{});
        }
        scratch.word_mask = size - 1;
    }
    scratch.report_pairs = 16;
    while (scratch.report_pairs < 2 * texts_.size() && scratch.report_pairs < 4096) {
        scratch.report_pairs *= 2;
    }
}

const WordStep &PhraseAutomaton::fill_word_cache(WordStep &entry, std::uint64_t who, std::uint64_t hash,
                                                 std::uint64_t low, std::uint64_t high, std::uint32_t length) const {
    entry = WordStep{};
    entry.low = low;
    entry.high = high;
    entry.who = who;
    entry.length = static_cast<std::uint8_t>(length);
    const auto from = static_cast<std::int32_t>(static_cast<std::uint32_t>(who));
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
        entry.edge_class = static_cast<std::uint8_t>(latin1_class_[' ']);
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
