// Sixteen characters at a time: whether they are all ASCII, their word characters as bits and their classes
// as bytes, computed by arithmetic (SSE2 where there is one), for the block scans.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vadrel_guardrail::phrase_matching {

// Classes of the ASCII word characters, the same in every automaton: letters 1-26, digits 27-36, underscore 37.
constexpr std::uint32_t kAsciiClasses = 38;

// The one definition of a word start, for 64 characters at once: a word character (a bit of `word_bits`)
// whose character before is not one (the bit below, or `prev_word` for the first).
inline std::uint64_t word_starts_of(std::uint64_t word_bits, std::uint64_t prev_word) {
    return word_bits & ~((word_bits << 1) | prev_word);
}

inline std::uint32_t ascii_class(std::uint32_t c) {
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
        return (c | 0x20) - 'a' + 1;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 27;
    }
    return c == '_' ? 37 : 0;
}

#if defined(__SSE2__)
// Two-byte characters brought down to at most 0xFF, so that the packing, which reads them as signed, keeps
// every one beyond ASCII above 0x7F: x - max(x - 0xFF, 0).
inline __m128i at_most_ff(__m128i x) {
    return _mm_sub_epi16(x, _mm_subs_epu16(x, _mm_set1_epi16(0xFF)));
}

// 16 characters as bytes, those beyond ASCII as bytes with the high bit set: the Latin-1 ones as they are,
// the others as 0xFF.
template <typename CharT>
inline __m128i load_16(const CharT *text) {
    if constexpr (sizeof(CharT) == 1) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(text));
    } else if constexpr (sizeof(CharT) == 2) {
        return _mm_packus_epi16(at_most_ff(_mm_loadu_si128(reinterpret_cast<const __m128i *>(text))),
                                at_most_ff(_mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 8))));
    } else {
        // Signed saturation first: every code point is below 2^31, and those over 2^15 stay over 255.
        __m128i low = _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(text)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 4)));
        __m128i high = _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 8)),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 12)));
        return _mm_packus_epi16(low, high);
    }
}

// 16 characters from `text` as bytes, when all are ASCII.
template <typename CharT>
inline bool load_ascii(const CharT *text, __m128i &v) {
    v = load_16(text);
    return _mm_movemask_epi8(v) == 0;
}

// The lanes of 16 ASCII characters by kind, each range by one signed comparison (the range moved to the bottom
// of the signed bytes); `folded` holds the characters with letters in lower case.
struct AsciiLanes {
    __m128i folded, letter, digit, under, word;
};

inline AsciiLanes ascii_lanes(__m128i v) {
    AsciiLanes l;
    l.folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
    l.letter = _mm_cmpgt_epi8(_mm_set1_epi8(-128 + 26), _mm_add_epi8(l.folded, _mm_set1_epi8(-'a' - 128)));
    l.digit = _mm_cmpgt_epi8(_mm_set1_epi8(-128 + 10), _mm_add_epi8(v, _mm_set1_epi8(-'0' - 128)));
    l.under = _mm_cmpeq_epi8(v, _mm_set1_epi8('_'));
    l.word = _mm_or_si128(_mm_or_si128(l.letter, l.digit), l.under);
    return l;
}

// The word classes of 16 ASCII characters as bytes (0 for non-word characters); `word` gets the lanes of the
// word characters.
inline __m128i ascii_classes(__m128i v, __m128i &word) {
    AsciiLanes l = ascii_lanes(v);
    word = l.word;
    return _mm_or_si128(_mm_or_si128(_mm_and_si128(l.letter, _mm_sub_epi8(l.folded, _mm_set1_epi8('a' - 1))),
                                     _mm_and_si128(l.digit, _mm_sub_epi8(v, _mm_set1_epi8('0' - 27)))),
                        _mm_and_si128(l.under, _mm_set1_epi8(37)));
}
#endif

// The classes of 16 characters from `text` as bytes into `out` (when given), and their word characters as
// bits, when all are ASCII.
template <typename CharT>
[[gnu::always_inline]] inline bool ascii_class_block(const CharT *text, std::uint8_t *out, std::uint32_t &bits) {
#if defined(__SSE2__)
    __m128i v;
    if (!load_ascii(text, v)) {
        return false;
    }
    __m128i word;
    __m128i classes = ascii_classes(v, word);
    if (out) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), classes);
    }
    bits = static_cast<std::uint32_t>(_mm_movemask_epi8(word));
    return true;
#else
    std::uint32_t word = 0;
    for (int k = 0; k < 16; ++k) {
        std::uint32_t c = static_cast<std::uint32_t>(text[k]);
        if (c >= 0x80) {
            return false;
        }
        std::uint32_t cls = ascii_class(c);
        if (out) {
            out[k] = static_cast<std::uint8_t>(cls);
        }
        word |= static_cast<std::uint32_t>(cls != 0) << k;
    }
    bits = word;
    return true;
#endif
}

// Keeps the first `word_length` (1 to 16) class bytes of a key, with no branch on the length.
inline void mask_key(std::uint32_t word_length, std::uint64_t &low, std::uint64_t &high) {
    static constexpr std::uint8_t kWindow[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::uint64_t keep_low, keep_high;
    std::memcpy(&keep_low, kWindow + 16 - word_length, 8);
    std::memcpy(&keep_high, kWindow + 24 - word_length, 8);
    low &= keep_low;
    high &= keep_high;
}

}  // namespace vadrel_guardrail::phrase_matching
