// A prefilter for phrase lists whose phrases each hold a word that texts seldom hold: each phrase gets one
// required word, a whole word of the phrase that every match of it shows as a whole word of the text at a
// known distance from the match's start. A scan then looks at the text's words alone, a bit test each, and
// runs the automaton only just before the words that are required ones: where none occurs, nothing matches.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

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

}  // namespace vadrel_guardrail::phrase_matching
