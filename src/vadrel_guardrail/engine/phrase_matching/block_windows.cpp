// The byte-permute road of the block scans over two-byte text (see block_windows.hpp).
#include "vadrel_guardrail/engine/phrase_matching/block_windows.hpp"

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"
#include "vadrel_guardrail/engine/phrase_matching/prefilter_chunk.hpp"

#if defined(__x86_64__) && defined(__SSE2__)
#include <immintrin.h>
#define VADREL_WINDOW_ROAD 1
#endif

namespace vadrel_guardrail::phrase_matching {

bool window_road() {
    // The prefilter's AVX-512 road needs the same instructions and more.
    static const bool road = prefilter_road() == Road::kAvx512;
    return road;
}

void PhraseAutomaton::build_window_flags() {
    static_assert(kOpening >> 8 == 4, "the road reads a non-word character that opens a phrase as bit 2");
    window_flags_.clear();
    if (bmp_scan_.empty() || !window_road()) {
        return;
    }
    window_flags_.resize(kBmp);
    for (std::uint32_t c = 0; c < kBmp; ++c) {
        window_flags_[c] = static_cast<std::uint8_t>(bmp_scan_[c] >> 8);
    }
}

#if VADREL_WINDOW_ROAD
namespace {

#define VADREL_WINDOW_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"), always_inline)) inline

// One window's row of a table of the plane: 128 bytes in two registers.
struct Row {
    __m512i low, high;
};

VADREL_WINDOW_TARGET Row row_of(const std::uint8_t *plane, unsigned window) {
    const std::uint8_t *at = plane + static_cast<std::size_t>(window) * 128;
    return {_mm512_loadu_si512(at), _mm512_loadu_si512(at + 64)};
}

// The entries of the characters whose low bytes are `index`: from the ASCII row in the lanes of `ascii`, else
// from the window's.
VADREL_WINDOW_TARGET __m512i look_up(const Row &ascii_row, const Row &window_row, __m512i index, __mmask64 ascii) {
    // The permutes read the low seven bits of each index byte.
    return _mm512_mask_blend_epi8(ascii, _mm512_permutex2var_epi8(window_row.low, index, window_row.high),
                                  _mm512_permutex2var_epi8(ascii_row.low, index, ascii_row.high));
}

// The lanes of the 64 characters whose windows are `first` and `second` that lie in `window`, as bits.
VADREL_WINDOW_TARGET std::uint64_t lanes_in(__m512i first, __m512i second, __m512i window) {
    return _mm512_cmpeq_epi16_mask(first, window) | (std::uint64_t{_mm512_cmpeq_epi16_mask(second, window)} << 32);
}

}  // namespace

__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"))) bool classify_window_block(
    const std::uint8_t *class_plane, const std::uint8_t *flag_plane, const Py_UCS2 *text, std::uint8_t *classes,
    unsigned &window, WindowBlock &out) {
    const __m512i first = _mm512_loadu_si512(text);
    const __m512i second = _mm512_loadu_si512(text + 32);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i first_windows = _mm512_srli_epi16(first, 7), second_windows = _mm512_srli_epi16(second, 7);
    const std::uint64_t ascii = lanes_in(first_windows, second_windows, zero);
    // The window is guessed to be the last block's, so that the test does not wait for it.
    __m512i windows = _mm512_set1_epi16(static_cast<short>(window));
    if ((ascii | lanes_in(first_windows, second_windows, windows)) != ~std::uint64_t{0}) {
        window = static_cast<unsigned>(text[__builtin_ctzll(~ascii)]) >> 7;
        windows = _mm512_set1_epi16(static_cast<short>(window));
        if ((ascii | lanes_in(first_windows, second_windows, windows)) != ~std::uint64_t{0}) {
            return false;
        }
    }
    const Row ascii_classes = row_of(class_plane, 0), window_classes = row_of(class_plane, window);
    const Row ascii_flags = row_of(flag_plane, 0), window_flags = row_of(flag_plane, window);
    const __m512i index = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi16_epi8(first)),
                                             _mm512_cvtepi16_epi8(second), 1);
    const __m512i flags = look_up(ascii_flags, window_flags, index, ascii);
    out.word = _mm512_test_epi8_mask(flags, _mm512_set1_epi8(kWord));
    out.changing = _mm512_test_epi8_mask(flags, _mm512_set1_epi8(kChangesWhenLowered));
    out.opening = _mm512_test_epi8_mask(flags, _mm512_set1_epi8(4));
    out.tail = false;
    if (classes) {
        _mm512_storeu_si512(classes, look_up(ascii_classes, window_classes, index, ascii));
        // The 16 after, in the low lanes of a register whose others hold NUL.
        const __m512i after = _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(text + 64)));
        const __m512i after_windows = _mm512_srli_epi16(after, 7);
        const __mmask32 after_ascii = _mm512_cmpeq_epi16_mask(after_windows, zero);
        if ((after_ascii | _mm512_cmpeq_epi16_mask(after_windows, windows)) == ~__mmask32{0}) {
            const __m512i after_index = _mm512_castsi256_si512(_mm512_cvtepi16_epi8(after));
            const __m512i after_classes = look_up(ascii_classes, window_classes, after_index, after_ascii);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(classes + 64), _mm512_castsi512_si128(after_classes));
            const __m512i after_flags = look_up(ascii_flags, window_flags, after_index, after_ascii);
            out.tail_word = static_cast<std::uint32_t>(_mm512_test_epi8_mask(after_flags, _mm512_set1_epi8(kWord))) & 0xFFFFu;
            out.tail = true;
        }
    }
    return true;
}

#else
bool classify_window_block(const std::uint8_t *, const std::uint8_t *, const Py_UCS2 *, std::uint8_t *, unsigned &,
                           WindowBlock &) {
    return false;
}
#endif

}  // namespace vadrel_guardrail::phrase_matching
