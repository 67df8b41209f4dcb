// The opening pairs as the block scans see them in the classes that they keep.
#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"

namespace vadrel_guardrail::phrase_matching {

void PhraseAutomaton::build_block_pairs() {
    block_pairs_.clear();
    if (!use_jumps_ || opening_pairs_.empty()) {
        return;
    }
    // Where many pairs open a phrase, most words of a text pass too, and picking them first costs more than
    // it saves: the word filter behind it drops what they would.
    constexpr std::size_t kMostPairs = 256;
    std::size_t pairs = 0;
    for (std::uint64_t bits : opening_pairs_) {
        pairs += static_cast<std::size_t>(__builtin_popcountll(bits));
    }
    if (pairs > kMostPairs) {
        return;
    }
    // A block scan gives an ASCII non-word character class 0 where its 16 characters are all ASCII, and its
    // own class elsewhere: a first class that opens a phrase with any second one opens it with 0 too.
    block_pairs_ = opening_pairs_;
    for (std::uint32_t first = 0; first < 256; ++first) {
        bool opens = false;
        for (std::uint32_t word = first * 4; word < first * 4 + 4; ++word) {
            opens = opens || opening_pairs_[word] != 0;
        }
        if (opens) {
            block_pairs_[first * 4] |= 1u;  // the pair (first, 0)
        }
    }
}

}  // namespace vadrel_guardrail::phrase_matching
