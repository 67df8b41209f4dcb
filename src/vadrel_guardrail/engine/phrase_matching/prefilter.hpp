// A necessary-factor prefilter: each phrase gets one required word, a whole word of it that every match shows as
// a whole word of the text at a known distance from its start. A scan looks at the text's words alone, a bit test
// each, and runs the automaton only before required ones: where none occurs, nothing matches.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"

namespace vadrel_guardrail::phrase_matching {

// The bit, among 2^(64 - `shift`), of a word whose first bytes (up to eight, zero beyond its end) are `first`.
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

// The two steps of the prefilter's scan that read every character of a chunk (the characters as bytes and bits,
// and the word starts that pass the filter), portable, for AVX2 (twice the characters a step, bits counted by one
// instruction) and for AVX-512 (64 characters a step, a block's word starts fingerprinted at once, their bits
// fetched 16 at a time by a gather).
constexpr int kChunkCharacters = 1024;                   // the most that a chunk holds
constexpr int kFilteredOffsets = kChunkCharacters + 16;  // the entries that `filtered_word_starts` may write

// The bytes of up to 64 blocks of 16 at `text` (an ASCII word character folded, else 0) and their word bits,
// characters beyond ASCII taken for non-word ones: those get their bits in `other_bits`, and the blocks that hold
// one (perhaps blocks beside them too) their bits in the result.
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

// The offsets of the starts of words at least `filter.shortest` long whose bit is set (perhaps a block's last
// character besides) among `size` characters with word bits `bits` (and a word more) and bytes `bytes`;
// `prev_word` is the word flag of the character before, and gets the chunk's last.
int filtered_word_starts(const std::uint64_t *bits, int size, std::uint64_t &prev_word, const std::uint8_t *bytes,
                         const WordBits &filter, std::uint16_t *offsets, CpuPath path);

}  // namespace vadrel_guardrail::phrase_matching
