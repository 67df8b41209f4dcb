// The two steps of the prefilter's scan that read every character of a chunk: the characters as bytes with
// their word characters as bits, and the word starts that pass the word filter. Each comes for the baseline
// machine and, chosen at run time, for one with AVX2 (and the bit instructions that come with it), which reads
// twice the characters at a step and counts bits in one instruction, and for one with AVX-512 (with its byte
// permutes and packing), which reads 64 characters at a step, fingerprints a block's word starts at once and
// fetches the filter's bits for 16 of them in one gather.
#pragma once

#include <Python.h>

#include <cstdint>

#include "vadrel_guardrail/engine/phrase_matching/cpu_path.hpp"
#include "vadrel_guardrail/engine/phrase_matching/prefilter.hpp"

namespace vadrel_guardrail::phrase_matching {

// The largest number of characters that a chunk holds.
constexpr int kChunkCharacters = 1024;

// The entries that `filtered_word_starts` may write.
constexpr int kFilteredOffsets = kChunkCharacters + 16;

// The bytes of the 16-character blocks [0, `blocks`) at `text` into `bytes` (the character folded to lower
// case for an ASCII word character, 0 for any other character) and their word characters as bits into
// `bits`, 16 a block from the lowest, as if every character beyond ASCII were not a word character: those get
// their bits in `other_bits`, and the blocks that hold one their bits in the result (and perhaps blocks beside
// them). `blocks` is at most 64; the bits of a 64-bit word that no block fills are left as they are.
template <typename CharT>
std::uint64_t ascii_chunk(const CharT *text, int blocks, std::uint8_t *bytes, std::uint64_t *bits,
                          std::uint16_t *other_bits, CpuPath path);

// What the word filter needs of a `Prefilter`.
struct WordBits {
    const std::uint64_t *bits;
    unsigned shift;
    bool four;
    std::uint32_t shortest;
};

// The offsets, in order, of the starts of the words that may be required ones among the `size` characters
// whose word characters are `bits` (64 a word, one more word after them for the words that run past them) and
// whose bytes are `bytes`: words at least `filter.shortest` characters long whose bit in the filter is set,
// and perhaps a block's last character besides (the look-ups take any place). `prev_word` tells whether the
// character before the chunk is a word character, and gets the chunk's last. `bits` has room for
// `kChunkCharacters / 64 + 1` words (those past the characters' are read, and their starts dropped), `offsets`
// for `kFilteredOffsets`. Returns their number.
int filtered_word_starts(const std::uint64_t *bits, int size, std::uint64_t &prev_word, const std::uint8_t *bytes,
                         const WordBits &filter, std::uint16_t *offsets, CpuPath path);

}  // namespace vadrel_guardrail::phrase_matching
