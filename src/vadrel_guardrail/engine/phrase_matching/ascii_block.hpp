// Sixteen characters at a time: whether they are all ASCII, their word characters as bits and their classes
// as bytes, computed by arithmetic (SSE2 where there is one), for the block scans.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vadrel_guardrail::phrase_matching {

// Classes of the ASCII word characters, the same in every automaton: letters (either case) 1-26, digits
// 27-36, the underscore 37, so that a block scan can compute them.
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
// 16 characters from `text` as bytes, when all are ASCII.
template <typename CharT>
inline bool load_ascii(const CharT *text, __m128i &v) {
    if constexpr (sizeof(CharT) == 1) {
        v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text));
        return _mm_movemask_epi8(v) == 0;
    } else if constexpr (sizeof(CharT) == 2) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 8));
        __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(0xFF80)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) {
            return false;
        }
        v = _mm_packus_epi16(a, b);
        return true;
    } else {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 4));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 8));
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 12));
        __m128i all = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        __m128i high = _mm_and_si128(all, _mm_set1_epi32(static_cast<int>(0xFFFFFF80u)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) {
            return false;
        }
        v = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        return true;
    }
}
#endif

#if defined(__SSE2__)
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
inline bool ascii_class_block(const CharT *text, std::uint8_t *out, std::uint32_t &bits) {
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
