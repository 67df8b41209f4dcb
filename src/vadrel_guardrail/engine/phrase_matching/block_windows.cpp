// The byte-permute path of the block scans over two-byte text (see block_windows.hpp).
#include "vadrel_guardrail/engine/phrase_matching/block_windows.hpp"

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && defined(__SSE2__)
#include <immintrin.h>
#define VADREL_WINDOW_PATH 1
#endif

namespace vadrel_guardrail::phrase_matching {

#if VADREL_WINDOW_PATH
namespace {

#define VADREL_WINDOW_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"), always_inline)) inline

constexpr std::uint64_t kAll = ~std::uint64_t{0};

// The windows guessed for a block, packed into an `unsigned`: 10 bits each, the window that covered most
// recently first.
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

// The 64 characters at `text` in ASCII and up to kWindowsMost windows (those guessed in `guessed`, else their
// own, which `guessed` then gets): their windows and the lanes of each, the low bytes of the characters, and
// their flags' bits.
struct Block {
    unsigned windows[kWindowsMost];
    std::uint64_t lanes[kWindowsMost + 1];  // [0]: the ASCII characters; [1 + k]: those in windows[k]
    int count;                              // of windows
    __m512i index;
    WindowFlags flags;
};

VADREL_WINDOW_TARGET bool read_block(const std::uint8_t *flag_plane, const Py_UCS2 *text, unsigned &guessed,
                                     Block &block) {
    const __m512i first = _mm512_loadu_si512(text);
    const __m512i second = _mm512_loadu_si512(text + 32);
    const Windows of_block = windows_of(first, second);
    unsigned *windows = block.windows;
    std::uint64_t *lanes = block.lanes;
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
    block.count = count;
    block.index = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi16_epi8(first)),
                                     _mm512_cvtepi16_epi8(second), 1);
    const __m512i flags = look_up(flag_plane, windows, lanes, count, block.index);
    block.flags = {flagged(flags, kWord), flagged(flags, 4), flagged(flags, kChangesWhenLowered)};
    return true;
}

// The classes and word bits of the 16 characters after `block` at `text`, where they lie in ASCII and its
// windows.
VADREL_WINDOW_TARGET bool read_after(const std::uint8_t *class_plane, const std::uint8_t *flag_plane,
                                     const Py_UCS2 *text, const Block &block, std::uint8_t *classes,
                                     std::uint32_t &word) {
    // In the low lanes of a register whose others hold NUL (ASCII).
    const __m512i after = _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(text + 64)));
    const Windows of_after{_mm512_srli_epi16(after, 7), _mm512_setzero_si512()};
    std::uint64_t lanes[kWindowsMost + 1];
    std::uint64_t covered = 0;
    for (int k = 0; k <= block.count; ++k) {
        lanes[k] = lanes_in(of_after, k == 0 ? 0 : block.windows[k - 1]) & 0xFFFFFFFFu;
        covered |= lanes[k];
    }
    if (covered != 0xFFFFFFFFu) {
        return false;
    }
    const __m512i index = _mm512_castsi256_si512(_mm512_cvtepi16_epi8(after));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(classes),
                     _mm512_castsi512_si128(look_up(class_plane, block.windows, lanes, block.count, index)));
    const __m512i flags = look_up(flag_plane, block.windows, lanes, block.count, index);
    word = static_cast<std::uint32_t>(flagged(flags, kWord)) & 0xFFFFu;
    return true;
}

}  // namespace

__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"))) bool classify_window_block(
    const std::uint8_t *class_plane, const std::uint8_t *flag_plane, const Py_UCS2 *text, Py_ssize_t i,
    Py_ssize_t reach, std::uint8_t *classes, WindowCarry &carry, WindowBlock &out) {
    Block block;
    if (carry.at == i) {
        // Read as the block after the last one.
        std::copy_n(carry.windows, kWindowsMost, block.windows);
        block.count = carry.count;
        out.flags = carry.flags;
        if (classes) {
            std::memcpy(classes, carry.classes, 64);
        }
    } else {
        if (!read_block(flag_plane, text + i, carry.guessed, block)) {
            return false;
        }
        out.flags = block.flags;
        if (classes) {
            _mm512_storeu_si512(classes, look_up(class_plane, block.windows, block.lanes, block.count, block.index));
        }
    }
    carry.at = -1;
    out.tail = false;
    if (!classes) {
        return true;
    }
    // The 16 after: the whole block after them where it can be read and does not start with 16 ASCII characters
    // (which the table path's arithmetic reads for less), kept for the next step; else those 16 alone.
    Block next;
    if (i + 128 <= reach && read_block(flag_plane, text + i + 64, carry.guessed, next) &&
        (next.lanes[0] & 0xFFFFu) != 0xFFFFu) {
        _mm512_store_si512(carry.classes, look_up(class_plane, next.windows, next.lanes, next.count, next.index));
        std::copy_n(next.windows, kWindowsMost, carry.windows);
        carry.count = next.count;
        carry.at = i + 64;
        carry.flags = next.flags;
        std::memcpy(classes + 64, carry.classes, 16);
        out.tail_word = static_cast<std::uint32_t>(next.flags.word) & 0xFFFFu;
        out.tail = true;
    } else {
        out.tail = read_after(class_plane, flag_plane, text + i, block, classes + 64, out.tail_word);
    }
    return true;
}

#else
bool classify_window_block(const std::uint8_t *, const std::uint8_t *, const Py_UCS2 *, Py_ssize_t, Py_ssize_t,
                           std::uint8_t *, WindowCarry &, WindowBlock &) {
    return false;
}
#endif

}  // namespace vadrel_guardrail::phrase_matching
