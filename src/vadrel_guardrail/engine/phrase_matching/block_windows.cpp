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

constexpr std::uint64_t kAll = ~std::uint64_t{0};

// The windows guessed for a block, packed into the `unsigned` that the scan keeps from block to block: 10 bits
// each, the window that covered most recently first.
constexpr int kWindowsMost = 3;
constexpr unsigned kWindowBits = 10;

unsigned guessed_window(unsigned guessed, int k) {
    return (guessed >> (k * kWindowBits)) & ((1u << kWindowBits) - 1);
}

// The guesses after a block whose own windows are `windows[0..count)`: those, then the earlier guesses that are
// not among them.
unsigned guesses_of(const unsigned *windows, int count, unsigned guessed) {
    unsigned out = 0;
    int kept = 0;
    auto keep = [&](unsigned window) {
        for (int k = 0; k < kept; ++k) {
            if (guessed_window(out, k) == window) {
                return;
            }
        }
        if (kept < kWindowsMost) {
            out |= window << (kept++ * kWindowBits);
        }
    };
    for (int k = 0; k < count; ++k) {
        keep(windows[k]);
    }
    for (int k = 0; k < kWindowsMost; ++k) {
        keep(guessed_window(guessed, k));
    }
    return out;
}

// One window's row of a table of the plane: 128 bytes in two registers.
struct Row {
    __m512i low, high;
};

VADREL_WINDOW_TARGET Row row_of(const std::uint8_t *plane, unsigned window) {
    const std::uint8_t *at = plane + static_cast<std::size_t>(window) * 128;
    return {_mm512_loadu_si512(at), _mm512_loadu_si512(at + 64)};
}

// The entries of the characters whose low bytes are `index`, from `row` (the permutes read the low seven bits of
// each index byte).
VADREL_WINDOW_TARGET __m512i entries(const Row &row, __m512i index) {
    return _mm512_permutex2var_epi8(row.low, index, row.high);
}

// The 64 characters of a block (or 16 after it, in the low lanes) as their windows, a 16-bit lane each.
struct Windows {
    __m512i first, second;
};

VADREL_WINDOW_TARGET Windows windows_of(__m512i first, __m512i second) {
    return {_mm512_srli_epi16(first, 7), _mm512_srli_epi16(second, 7)};
}

// The lanes of the 64 characters that lie in `window`, as bits.
VADREL_WINDOW_TARGET std::uint64_t lanes_in(const Windows &windows, unsigned window) {
    const __m512i w = _mm512_set1_epi16(static_cast<short>(window));
    return _mm512_cmpeq_epi16_mask(windows.first, w) |
           (std::uint64_t{_mm512_cmpeq_epi16_mask(windows.second, w)} << 32);
}

// A table's entries for the characters whose low bytes are `index`: each lane from the row of its window among
// ASCII (the lanes of `lanes[0]`) and the windows of `rows` (the lanes of `lanes[1 + k]`).
VADREL_WINDOW_TARGET __m512i look_up(const std::uint8_t *plane, const unsigned *windows, const std::uint64_t *lanes,
                                     int count, __m512i index) {
    __m512i out = entries(row_of(plane, windows[0]), index);
    for (int k = 1; k < count; ++k) {
        if (lanes[k + 1] != 0) {
            out = _mm512_mask_mov_epi8(out, lanes[k + 1], entries(row_of(plane, windows[k]), index));
        }
    }
    return _mm512_mask_mov_epi8(out, lanes[0], entries(row_of(plane, 0), index));
}

// The flags of the lanes whose entries are `flags`, as bits.
VADREL_WINDOW_TARGET std::uint64_t flagged(__m512i flags, int flag) {
    return _mm512_test_epi8_mask(flags, _mm512_set1_epi8(static_cast<char>(flag)));
}

}  // namespace

__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"))) bool classify_window_block(
    const std::uint8_t *class_plane, const std::uint8_t *flag_plane, const Py_UCS2 *text, std::uint8_t *classes,
    unsigned &guessed, WindowBlock &out) {
    const __m512i first = _mm512_loadu_si512(text);
    const __m512i second = _mm512_loadu_si512(text + 32);
    const Windows of_block = windows_of(first, second);
    // lanes[0]: the ASCII characters; lanes[1 + k]: those in windows[k].
    unsigned windows[kWindowsMost];
    std::uint64_t lanes[kWindowsMost + 1];
    lanes[0] = lanes_in(of_block, 0);
    // The windows are guessed to be the last block's, so that the tests do not wait for a character's load; the
    // first alone covers a text in one script.
    for (int k = 0; k < kWindowsMost; ++k) {
        windows[k] = guessed_window(guessed, k);
    }
    lanes[1] = lanes_in(of_block, windows[0]);
    int count = 1;
    if ((lanes[0] | lanes[1]) != kAll) {
        std::uint64_t covered = lanes[0] | lanes[1];
        for (int k = 1; k < kWindowsMost; ++k) {
            lanes[k + 1] = lanes_in(of_block, windows[k]);
            covered |= lanes[k + 1];
        }
        count = kWindowsMost;
        if (covered != kAll) {
            // Else the block's own windows, each that of its first character outside those before it.
            covered = lanes[0];
            for (count = 0; count < kWindowsMost && covered != kAll; ++count) {
                windows[count] = static_cast<unsigned>(text[__builtin_ctzll(~covered)]) >> 7;
                lanes[count + 1] = lanes_in(of_block, windows[count]);
                covered |= lanes[count + 1];
            }
            if (covered != kAll) {
                return false;
            }
            guessed = guesses_of(windows, count, guessed);
        }
    }
    const __m512i index = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi16_epi8(first)),
                                             _mm512_cvtepi16_epi8(second), 1);
    const __m512i flags = look_up(flag_plane, windows, lanes, count, index);
    out.word = flagged(flags, kWord);
    out.changing = flagged(flags, kChangesWhenLowered);
    out.opening = flagged(flags, 4);
    out.tail = false;
    if (classes) {
        _mm512_storeu_si512(classes, look_up(class_plane, windows, lanes, count, index));
        // The 16 after, in the low lanes of a register whose others hold NUL (ASCII), taken where they lie in
        // ASCII and the block's windows.
        const __m512i after = _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(text + 64)));
        const Windows of_after{_mm512_srli_epi16(after, 7), _mm512_setzero_si512()};
        std::uint64_t after_lanes[kWindowsMost + 1];
        std::uint64_t covered = 0;
        for (int k = 0; k <= count; ++k) {
            after_lanes[k] = lanes_in(of_after, k == 0 ? 0 : windows[k - 1]) & 0xFFFFFFFFu;
            covered |= after_lanes[k];
        }
        if (covered == 0xFFFFFFFFu) {
            const __m512i after_index = _mm512_castsi256_si512(_mm512_cvtepi16_epi8(after));
            const __m512i after_classes = look_up(class_plane, windows, after_lanes, count, after_index);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(classes + 64), _mm512_castsi512_si128(after_classes));
            const __m512i after_flags = look_up(flag_plane, windows, after_lanes, count, after_index);
            out.tail_word = static_cast<std::uint32_t>(flagged(after_flags, kWord)) & 0xFFFFu;
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
