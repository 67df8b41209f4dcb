// The hashes behind the word look-ups: a word's key (its classes, a byte each) hashed to a slot of the jump
// table, and the word filter's bits over a word and the three characters after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/ascii_block.hpp"

namespace vadrel_guardrail::phrase_matching {

// Bit `bit` of a bitmap held in 64-bit words.
inline std::uint64_t bit_in(const std::uint64_t *bits, std::uint64_t bit) {
    return (bits[bit >> 6] >> (bit & 63)) & 1u;
}
inline void set_bit(std::uint64_t *bits, std::uint64_t bit) {
    bits[bit >> 6] |= std::uint64_t{1} << (bit & 63);
}

// The bits of the index of a table of at least `wanted` entries, from `fewest` to `most`.
inline unsigned index_bits(std::size_t wanted, unsigned fewest, unsigned most) {
    unsigned bits = fewest;
    while ((std::size_t{1} << bits) < wanted && bits < most) {
        ++bits;
    }
    return bits;
}

inline std::uint32_t follow_bit(std::uint32_t first, std::uint32_t second, std::uint32_t third) {
    return (first * 7 + second * 31 + third) & 255;
}

inline std::uint64_t jump_hash(std::uint64_t low, std::uint64_t high, std::uint32_t length) {
    std::uint64_t h = (low * 0x9E3779B97F4A7C15ull) ^ (high * 0xC2B2AE3D27D4EB4Full) ^ length;
    return h ^ (h >> 29);
}

// Mixed into a word's hash for a look-up from a node other than the root (0 for the root).
inline std::uint64_t jump_from_mix(std::int32_t from) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(from)) * 0xFF51AFD7ED558CCDull;
}

// A bit of the word filter for a word's hash and the classes of the three characters after it (1 + the three
// classes, a byte each), or 0 for "any characters".
inline std::uint64_t follow_index(std::uint64_t hash, std::uint32_t follows, unsigned shift) {
    return ((hash + follows) * 0xD6E8FEB86659FD93ull) >> shift;
}

// The `follows` of `follow_index` for the classes of the three characters after a word, seen through
// `coarse` (a byte per class): block scans of ASCII text give every non-word ASCII character class 0, so
// the classes of those characters count as 0 on every path.
inline std::uint32_t follows_key(const std::uint8_t *coarse, std::uint32_t first, std::uint32_t second,
                                 std::uint32_t third) {
    return 1 + (coarse[first & 0xFFu] | (coarse[second & 0xFFu] << 8) | (coarse[third & 0xFFu] << 16));
}

// Whether the word filter lets a word with `hash`, followed by `follows`, go on to its look-up.
inline bool filter_passes(const std::uint64_t *filter, unsigned shift, std::uint64_t hash, std::uint32_t follows) {
    std::uint64_t any = follow_index(hash, 0, shift);
    std::uint64_t these = follow_index(hash, follows, shift);
    return (bit_in(filter, any) | bit_in(filter, these)) != 0;
}

inline std::uint16_t jump_tag(std::uint64_t hash) {
    return static_cast<std::uint16_t>(hash >> 48) | 1u;
}

}  // namespace vadrel_guardrail::phrase_matching
