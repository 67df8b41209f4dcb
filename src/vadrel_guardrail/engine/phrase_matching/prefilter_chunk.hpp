// The two steps of the prefilter's scan that read every character of a chunk: the characters as bytes with
// their word characters as bits, and the list of the word starts long enough to be required words. Each comes
// for the baseline machine and, chosen at run time, for one with AVX2 (and the bit instructions that come
// with it), which reads twice the characters at a step and counts bits in one instruction.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vadrel_guardrail::phrase_matching {

// The largest number of characters that a chunk holds.
constexpr int kChunkCharacters = 1024;

// Whether the steps take the AVX2 road on this machine.
bool prefilter_wide();

// The bytes of the 16-character blocks [0, `blocks`) at `text` into `bytes` (the character folded to lower
// case for an ASCII word character, 0 for any other character) and their word characters as bits into
// `word_bits`, 16 a block, as if every character beyond ASCII were not a word character: those get their
// bits in `other_bits`, and each block that holds one its bit in the result. `blocks` is at most 64.
template <typename CharT>
std::uint64_t ascii_chunk(const CharT *text, int blocks, std::uint8_t *bytes, std::uint16_t *word_bits,
                          std::uint16_t *other_bits, bool wide);

// The offsets of the word starts among the `size` characters whose word characters are `bits` (64 a word,
// one more word after them for the words that run past them), of words at least `shortest` characters long,
// in order, into `offsets`, which has room for eight beyond their number. `prev_word` tells whether the
// character before the chunk is a word character, and gets the chunk's last. Returns their number.
int long_word_starts(const std::uint64_t *bits, int size, std::uint32_t shortest, std::uint64_t &prev_word,
                     std::uint16_t *offsets, bool wide);

}  // namespace vadrel_guardrail::phrase_matching
