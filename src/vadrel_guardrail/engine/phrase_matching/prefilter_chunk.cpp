// The prefilter's chunk steps, portable, for AVX2 and for AVX-512, the automaton's path choosing among them.
#include "vadrel_guardrail/engine/phrase_matching/prefilter.hpp"

#include <algorithm>
#include <cstring>

#include "vadrel_guardrail/engine/phrase_matching/ascii_block.hpp"

#if defined(__x86_64__) && defined(__SSE2__)
#include <immintrin.h>
#define VADREL_PREFILTER_AVX2 1
#endif

namespace vadrel_guardrail::phrase_matching {

namespace {

// The bits set in `bits`, by arithmetic: the baseline has no instruction for it.
inline int bit_count(std::uint64_t bits) {
    bits -= (bits >> 1) & 0x5555555555555555ull;
    bits = (bits & 0x3333333333333333ull) + ((bits >> 2) & 0x3333333333333333ull);
    bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((bits * 0x0101010101010101ull) >> 56);
}

template <typename CharT>
std::uint64_t ascii_chunk_narrow(const CharT *text, int blocks, std::uint8_t *bytes, std::uint64_t *bits,
                                 std::uint16_t *other_bits) {
    std::uint64_t others = 0;
    for (int block = 0; block < blocks; ++block) {
#if defined(__SSE2__)
        // Bytes with the high bit set are no ASCII class's: the lanes take them for non-word characters.
        __m128i v = load_16(text + block * 16);
        AsciiLanes lanes = ascii_lanes(v);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(bytes + block * 16), _mm_and_si128(lanes.folded, lanes.word));
        auto word = static_cast<std::uint16_t>(_mm_movemask_epi8(lanes.word));
        auto other = static_cast<std::uint16_t>(_mm_movemask_epi8(v));
#else
        std::uint16_t word = 0, other = 0;
        for (int k = 0; k < 16; ++k) {
            auto c = static_cast<std::uint32_t>(text[block * 16 + k]);
            std::uint32_t cls = c < 0x80 ? ascii_class(c) : 0;
            bytes[block * 16 + k] = cls == 0 ? 0 : static_cast<std::uint8_t>(c | 0x20);
            word |= static_cast<std::uint16_t>((cls != 0) << k);
            other |= static_cast<std::uint16_t>((c >= 0x80) << k);
        }
#endif
        std::memcpy(reinterpret_cast<unsigned char *>(bits) + 2 * block, &word, 2);
        other_bits[block] = other;
        others |= static_cast<std::uint64_t>(other != 0) << block;
    }
    return others;
}

// The bytes of a word's first characters, up to eight: up to the first 0, with no branch.
inline std::uint64_t first_bytes(const std::uint8_t *bytes) {
    std::uint64_t eight;
    std::memcpy(&eight, bytes, 8);
    // The high bit of the first zero byte is the lowest one set (those above it may be set too).
    std::uint64_t zeros = (eight - 0x0101010101010101ull) & ~eight & 0x8080808080808080ull;
    return eight & ((zeros & (0 - zeros)) - 1);
}

// The starts of the words at least `shortest` long in the chunk's `blocks` blocks of 64, a mask a block.
[[gnu::always_inline]] inline void long_word_starts(const std::uint64_t *bits, int blocks, std::uint32_t shortest,
                                                    std::uint64_t &prev_word, std::uint64_t *starts_of) {
    // The steps that keep runs as long as the shortest word: each halves what is left (a run of 4 takes two).
    unsigned steps[8], step_count = 0;
    for (unsigned covered = 1; covered < shortest; covered += steps[step_count++]) {
        steps[step_count] = std::min(covered, shortest - covered);
    }
    for (int block = 0; block < blocks; ++block) {
        std::uint64_t word_bits = bits[block];
        std::uint64_t starts = word_starts_of(word_bits, prev_word);
        prev_word = word_bits >> 63;
        // The runs over this block and the next, whose bits the words that start here may run into.
        std::uint64_t low = word_bits, high = bits[block + 1];
        for (unsigned k = 0; k < step_count; ++k) {
            low &= (low >> steps[k]) | (high << (64 - steps[k]));
            high &= high >> steps[k];
        }
        starts_of[block] = starts & low;
    }
}

// The filter's bit of the word at `at`: of its first four bytes with `kFour`, else of its bytes up to its end.
template <bool kFour>
inline std::uint64_t word_bit(const std::uint8_t *at, unsigned shift) {
    if constexpr (kFour) {
        std::uint32_t four;
        std::memcpy(&four, at, 4);
        return fingerprint_four(four, shift);
    } else {
        return fingerprint(first_bytes(at), shift);
    }
}

// The filtered word starts; `kBitInstructions` where bits are counted by one instruction, `kFour` for `filter.four`.
template <bool kBitInstructions, bool kFour>
[[gnu::always_inline]] inline int filtered_word_starts_body(const std::uint64_t *bits, int size,
                                                            std::uint64_t &prev_word, const std::uint8_t *bytes,
                                                            const WordBits &filter, std::uint16_t *offsets) {
    std::uint64_t starts_of[kChunkCharacters / 64];
    long_word_starts(bits, size / 64, filter.shortest, prev_word, starts_of);
    const std::uint64_t *filter_bits = filter.bits;
    const unsigned shift = filter.shift;
    int count = 0;
    for (int block = 0; block < size / 64; ++block) {
        std::uint64_t starts = starts_of[block];
        int here = kBitInstructions ? __builtin_popcountll(starts) : bit_count(starts);
        // Four at a time without a branch each, those that pass kept (past the last, the block's last character,
        // which may pass too: the look-ups take any place).
        const int base = block * 64;
        for (int k = 0; k < here; k += 4) {
            for (int j = 0; j < 4; ++j) {
                int offset = base + __builtin_ctzll(starts | (std::uint64_t{1} << 63));
                std::uint64_t bit = word_bit<kFour>(bytes + offset, shift);
                offsets[count] = static_cast<std::uint16_t>(offset);
                count += static_cast<int>((filter_bits[bit >> 6] >> (bit & 63)) & 1u);
                starts &= starts - 1;
            }
        }
    }
    return count;
}

#if VADREL_PREFILTER_AVX2

// 32 characters as bytes, as `load_16`.
template <typename CharT>
__attribute__((target("avx2"))) inline __m256i load(const CharT *at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
}

template <typename CharT>
__attribute__((target("avx2"))) inline __m256i load_32(const CharT *text) {
    if constexpr (sizeof(CharT) == 1) {
        return load(text);
    } else if constexpr (sizeof(CharT) == 2) {
        // As `load_16`; the packing works within each half: the quarters come back into order.
        const __m256i ff = _mm256_set1_epi16(0xFF);
        return _mm256_permute4x64_epi64(
            _mm256_packus_epi16(_mm256_min_epu16(load(text), ff), _mm256_min_epu16(load(text + 16), ff)), 0xD8);
    } else {
        __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(load(text), load(text + 8)),
                                             _mm256_packs_epi32(load(text + 16), load(text + 24)));
        return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    }
}

template <typename CharT>
__attribute__((target("avx2"))) std::uint64_t ascii_chunk_wide(const CharT *text, int blocks, std::uint8_t *bytes,
                                                             std::uint64_t *bits, std::uint16_t *other_bits) {
    std::uint64_t others = 0;
    int block = 0;
    for (; block + 2 <= blocks; block += 2) {
        // As `ascii_lanes`: each range by one signed comparison.
        __m256i v = load_32(text + block * 16);
        __m256i folded = _mm256_or_si256(v, _mm256_set1_epi8(0x20));
        __m256i letter = _mm256_cmpgt_epi8(_mm256_set1_epi8(-128 + 26),
                                           _mm256_add_epi8(folded, _mm256_set1_epi8((-'a' - 128) & 0xFF)));
        __m256i digit = _mm256_cmpgt_epi8(_mm256_set1_epi8(-128 + 10),
                                          _mm256_add_epi8(v, _mm256_set1_epi8((-'0' - 128) & 0xFF)));
        __m256i under = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('_'));
        __m256i word = _mm256_or_si256(_mm256_or_si256(letter, digit), under);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(bytes + block * 16), _mm256_and_si256(folded, word));
        auto word_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(word));
        auto other_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
        std::memcpy(reinterpret_cast<unsigned char *>(bits) + 2 * block, &word_mask, 4);
        std::memcpy(other_bits + block, &other_mask, 4);
        others |= static_cast<std::uint64_t>(other_mask != 0) * 3 << block;  // both blocks: the caller looks
    }
    if (block < blocks) {
        // The last block alone, its bits placed as the others'.
        std::uint64_t last_bits;
        others |= ascii_chunk_narrow(text + block * 16, 1, bytes + block * 16, &last_bits, other_bits + block) << block;
        std::memcpy(reinterpret_cast<unsigned char *>(bits) + 2 * block, &last_bits, 2);
    }
    return others;
}

// 64 characters as bytes, as `load_16`.
template <typename CharT>
__attribute__((target("avx512f,avx512bw"))) inline __m512i load_64(const CharT *text) {
    if constexpr (sizeof(CharT) == 1) {
        return _mm512_loadu_si512(text);
    } else if constexpr (sizeof(CharT) == 2) {
        // As `load_32`: the packing works within each quarter, whose halves come back into order.
        const __m512i ff = _mm512_set1_epi16(0xFF);
        __m512i packed = _mm512_packus_epi16(_mm512_min_epu16(_mm512_loadu_si512(text), ff),
                                             _mm512_min_epu16(_mm512_loadu_si512(text + 32), ff));
        return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), packed);
    } else {
        __m512i low = _mm512_packs_epi32(_mm512_loadu_si512(text), _mm512_loadu_si512(text + 16));
        __m512i high = _mm512_packs_epi32(_mm512_loadu_si512(text + 32), _mm512_loadu_si512(text + 48));
        return _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15),
                                        _mm512_packus_epi16(low, high));
    }
}

// As `ascii_chunk_wide`, 64 characters at a step, each range by one unsigned comparison into a mask that is
// the block's bits as they are; the blocks with characters beyond ASCII are reported four at a time.
template <typename CharT>
__attribute__((target("avx512f,avx512bw"))) std::uint64_t ascii_chunk_avx512(const CharT *text, int blocks,
                                                                             std::uint8_t *bytes, std::uint64_t *bits,
                                                                             std::uint16_t *other_bits) {
    std::uint64_t others = 0;
    int block = 0;
    for (; block + 4 <= blocks; block += 4) {
        __m512i v = load_64(text + block * 16);
        __m512i folded = _mm512_or_si512(v, _mm512_set1_epi8(0x20));
        __mmask64 word =
            _mm512_cmplt_epu8_mask(_mm512_sub_epi8(folded, _mm512_set1_epi8('a')), _mm512_set1_epi8(26)) |
            _mm512_cmplt_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8('0')), _mm512_set1_epi8(10)) |
            _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('_'));
        _mm512_storeu_si512(bytes + block * 16, _mm512_maskz_mov_epi8(word, folded));
        bits[block / 4] = word;
        std::uint64_t other = _mm512_movepi8_mask(v);
        std::memcpy(other_bits + block, &other, 8);
        others |= static_cast<std::uint64_t>(other != 0) * 15 << block;
    }
    if (block < blocks) {
        others |= ascii_chunk_wide(text + block * 16, blocks - block, bytes + block * 16, bits + block / 4,
                                   other_bits + block)
                  << block;
    }
    return others;
}

__attribute__((target("popcnt,bmi,bmi2,avx2"))) int filtered_word_starts_wide(
    const std::uint64_t *bits, int size, std::uint64_t &prev_word, const std::uint8_t *bytes, const WordBits &filter,
    std::uint16_t *offsets) {
    return filter.four ? filtered_word_starts_body<true, true>(bits, size, prev_word, bytes, filter, offsets)
                       : filtered_word_starts_body<true, false>(bits, size, prev_word, bytes, filter, offsets);
}

// As `long_word_starts`, eight blocks a step (`starts_of` has room for those past `blocks`, up to the next eight).
__attribute__((target("avx512f"))) inline void long_word_starts_avx512(const std::uint64_t *bits, int blocks,
                                                                        std::uint32_t shortest,
                                                                        std::uint64_t &prev_word,
                                                                        std::uint64_t *starts_of) {
    unsigned steps[8], step_count = 0;
    for (unsigned covered = 1; covered < shortest; covered += steps[step_count++]) {
        steps[step_count] = std::min(covered, shortest - covered);
    }
    __m512i before = _mm512_maskz_set1_epi64(0x80, static_cast<long long>(prev_word << 63));
    for (int block = 0; block < blocks; block += 8) {
        __m512i word_bits = _mm512_loadu_si512(bits + block);
        // `word_starts_of` in each lane, with the last character of the block before each.
        __m512i last = _mm512_srli_epi64(_mm512_alignr_epi64(word_bits, before, 7), 63);
        __m512i starts = _mm512_andnot_si512(_mm512_or_si512(_mm512_slli_epi64(word_bits, 1), last), word_bits);
        __m512i low = word_bits, high = _mm512_loadu_si512(bits + block + 1);
        for (unsigned k = 0; k < step_count; ++k) {
            __m128i step = _mm_cvtsi32_si128(static_cast<int>(steps[k]));
            __m128i back = _mm_cvtsi32_si128(static_cast<int>(64 - steps[k]));
            low = _mm512_and_si512(low, _mm512_or_si512(_mm512_srl_epi64(low, step), _mm512_sll_epi64(high, back)));
            high = _mm512_and_si512(high, _mm512_srl_epi64(high, step));
        }
        _mm512_storeu_si512(starts_of + block, _mm512_and_si512(starts, low));
        before = word_bits;
    }
    prev_word = bits[blocks - 1] >> 63;
}

// How the first four bytes of the words at 16 places are picked: byte k is byte k % 4 of the word at place k / 4.
alignas(64) constexpr auto kWindows = [] {
    struct {
        std::uint8_t spread[64], step[64], iota[64];
    } windows{};
    for (int k = 0; k < 64; ++k) {
        windows.spread[k] = static_cast<std::uint8_t>(k / 4);
        windows.step[k] = static_cast<std::uint8_t>(k % 4);
        windows.iota[k] = static_cast<std::uint8_t>(k);
    }
    return windows;
}();

// `filtered_word_starts_body<true, true>` without the places past the last: a block's starts packed (words of
// four characters or more start at most 13 times in 64), their first four bytes picked and fingerprinted at once;
// then their bits fetched 16 at a time and the offsets that pass packed. No step branches on the text.
__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,popcnt,bmi,bmi2"))) int
filtered_word_starts_avx512(const std::uint64_t *bits, int size, std::uint64_t &prev_word, const std::uint8_t *bytes,
                            const WordBits &filter, std::uint16_t *offsets) {
    alignas(64) std::uint64_t starts_of[kChunkCharacters / 64];
    long_word_starts_avx512(bits, size / 64, filter.shortest, prev_word, starts_of);
    constexpr int kMost = kChunkCharacters / 64 * 13;
    alignas(64) std::uint32_t prints[kMost + 16];
    alignas(64) std::uint16_t places[kMost + 16];
    const __m512i spread = _mm512_load_si512(kWindows.spread), step = _mm512_load_si512(kWindows.step);
    const __m512i iota = _mm512_load_si512(kWindows.iota);
    const __m512i multiplier = _mm512_set1_epi32(static_cast<int>(0x9E3779B1u));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(filter.shift));
    int found = 0;
    for (int block = 0; block < size / 64; ++block) {
        const std::uint8_t *here = bytes + block * 64;
        __m512i at = _mm512_maskz_compress_epi8(starts_of[block], iota);
        // The bytes run 16 past the chunk: a word at the block's end takes its last bytes from after it.
        __m512i four = _mm512_permutex2var_epi8(_mm512_loadu_si512(here),
                                                _mm512_add_epi8(_mm512_permutexvar_epi8(spread, at), step),
                                                _mm512_zextsi128_si512(_mm_loadu_si128(
                                                    reinterpret_cast<const __m128i *>(here + 64))));
        __m512i print = _mm512_srl_epi32(_mm512_mullo_epi32(four, multiplier), shift);
        _mm512_storeu_si512(prints + found, print);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(places + found),
                            _mm256_add_epi16(_mm256_cvtepu8_epi16(_mm512_castsi512_si128(at)),
                                             _mm256_set1_epi16(static_cast<short>(block * 64))));
        found += __builtin_popcountll(starts_of[block]);
    }
    int count = 0;
    for (int k = 0; k < found; k += 16) {
        auto live = static_cast<__mmask16>(found - k >= 16 ? 0xFFFFu : (1u << (found - k)) - 1);
        __m512i print = _mm512_load_si512(prints + k);
        // The filter's bits as 32-bit words: the same bits on a little-endian machine.
        __m512i word = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), live, _mm512_srli_epi32(print, 5),
                                                   filter.bits, 4);
        __m512i bit = _mm512_srlv_epi32(word, _mm512_and_si512(print, _mm512_set1_epi32(31)));
        __mmask16 pass = _mm512_mask_test_epi32_mask(live, bit, _mm512_set1_epi32(1));
        __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(places + k));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(offsets + count), _mm256_maskz_compress_epi16(pass, at));
        count += __builtin_popcount(pass);
    }
    return count;
}

#endif

int filtered_word_starts_narrow(const std::uint64_t *bits, int size, std::uint64_t &prev_word,
                                const std::uint8_t *bytes, const WordBits &filter, std::uint16_t *offsets) {
    return filter.four ? filtered_word_starts_body<false, true>(bits, size, prev_word, bytes, filter, offsets)
                       : filtered_word_starts_body<false, false>(bits, size, prev_word, bytes, filter, offsets);
}

}  // namespace

template <typename CharT>
std::uint64_t ascii_chunk(const CharT *text, int blocks, std::uint8_t *bytes, std::uint64_t *bits,
                          std::uint16_t *other_bits, CpuPath path) {
#if VADREL_PREFILTER_AVX2
    if (path == CpuPath::kAvx512) {
        return ascii_chunk_avx512(text, blocks, bytes, bits, other_bits);
    }
    if (path == CpuPath::kAvx2) {
        return ascii_chunk_wide(text, blocks, bytes, bits, other_bits);
    }
#endif
    (void)path;
    return ascii_chunk_narrow(text, blocks, bytes, bits, other_bits);
}

int filtered_word_starts(const std::uint64_t *bits, int size, std::uint64_t &prev_word, const std::uint8_t *bytes,
                         const WordBits &filter, std::uint16_t *offsets, CpuPath path) {
#if VADREL_PREFILTER_AVX2
    if (path == CpuPath::kAvx512 && filter.four) {
        return filtered_word_starts_avx512(bits, size, prev_word, bytes, filter, offsets);
    }
    if (path != CpuPath::kPortable) {
        return filtered_word_starts_wide(bits, size, prev_word, bytes, filter, offsets);
    }
#endif
    (void)path;
    return filtered_word_starts_narrow(bits, size, prev_word, bytes, filter, offsets);
}

template std::uint64_t ascii_chunk(const Py_UCS1 *, int, std::uint8_t *, std::uint64_t *, std::uint16_t *, CpuPath);
template std::uint64_t ascii_chunk(const Py_UCS2 *, int, std::uint8_t *, std::uint64_t *, std::uint16_t *, CpuPath);
template std::uint64_t ascii_chunk(const Py_UCS4 *, int, std::uint8_t *, std::uint64_t *, std::uint16_t *, CpuPath);

}  // namespace vadrel_guardrail::phrase_matching
