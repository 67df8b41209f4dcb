// A prefilter for phrase lists whose phrases each hold a word that texts seldom hold: each phrase gets one
// required word, a whole word of the phrase that every match of it shows as a whole word of the text at a
// known distance from the match's start. A scan then looks at the text's words alone, a bit test each, and
// runs the automaton only just before the words that are required ones: where none occurs, nothing matches.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"

namespace vadrel_guardrail::phrase_matching {

// The bit, among 2^(64 - `shift`), of a word whose first bytes (up to eight, zero beyond its length) are
// `first`.
inline std::uint64_t fingerprint(std::uint64_t first, unsigned shift) {
    return (first * 0x9E3779B97F4A7C15ull) >> shift;
}

// The bit, among 2^(32 - `shift`), of a word whose first four bytes are `four`.
inline std::uint32_t fingerprint_four(std::uint32_t four, unsigned shift) {
    return (four * 0x9E3779B1u) >> shift;
}

struct Prefilter {
    // The longest word that can be required: a word's classes fit the two halves of a key.
    static constexpr std::uint32_t kLongest = 16;

    struct Word {
        std::uint64_t low = 0, high = 0;  // the word's bytes (see `byte_of_class`), zero beyond its length
        std::uint32_t length = 0;         // 0 for an empty slot
        // The distances from the start of a match to the word, over the phrases that require it.
        std::int32_t nearest = 0, farthest = 0;
    };
    std::vector<Word> words;  // open addressing by `jump_hash`, a power of two of slots
    std::size_t mask = 0;
    // Bits by `fingerprint` of each required word: most words of a text are dropped by one load from here.
    std::vector<std::uint64_t> bits;
    unsigned shift = 64;
    // With every required word at least four characters long, a word's bit is `fingerprint_four` of its first
    // four bytes, read without looking for the word's end; else `fingerprint` of its bytes up to its end.
    bool four = false;
    std::uint8_t byte_of_class[256] = {};  // how the scan reads a word character of each class
    Py_ssize_t farthest = 0;  // the farthest distance over all words
    std::uint32_t shortest = kLongest;  // the shortest word

    // The required word with these classes, or null.
    const Word *find(std::uint64_t low, std::uint64_t high, std::uint32_t length) const;
};

// The two steps of the prefilter's scan that read every character of a chunk: the characters as bytes with
// their word characters as bits, and the word starts that pass the word filter. Each comes for the baseline
// machine and, chosen at run time, for one with AVX2 (and the bit instructions that come with it), which reads
// twice the characters at a step and counts bits in one instruction, and for one with AVX-512 (with its byte
// permutes and packing), which reads 64 characters at a step, fingerprints a block's word starts at once and
// fetches the filter's bits for 16 of them in one gather.

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
