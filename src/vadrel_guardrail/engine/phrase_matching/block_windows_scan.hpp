// The block scans' step over 64 characters by the byte-permute path where it applies (two-byte text whose
// characters lie in ASCII and up to three other windows of the plane).
#pragma once

#include <cstring>

#include "vadrel_guardrail/engine/phrase_matching/ascii_block.hpp"
#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/block_windows.hpp"

namespace vadrel_guardrail::phrase_matching {

// Whether the 16 characters at `text` are all ASCII.
inline bool starts_ascii(const Py_UCS2 *text) {
#if defined(__SSE2__)
    __m128i unused;
    return load_ascii(text, unused);
#else
    std::uint32_t unused;
    return ascii_word_bits(text, unused);
#endif
}

template <bool kLowering, typename CharT>
[[gnu::always_inline]] inline bool PhraseAutomaton::classify_block_by_windows(const CharT *text, Py_ssize_t reach,
                                                                              Py_ssize_t i, WindowCarry &carry,
                                                                              std::uint8_t *classes,
                                                                              std::uint64_t &bits,
                                                                              std::uint64_t &openings,
                                                                              std::uint32_t &tail) const {
    if constexpr (sizeof(CharT) == 2) {
        // A block that starts with 16 ASCII characters is left to the arithmetic of the table path, which costs
        // less there (a text mostly ASCII, in two-byte storage for a few characters), unless the path has read
        // it already.
        WindowBlock block;
        if (!window_flags_.empty() && (carry.at == i || !starts_ascii(text + i)) &&
            classify_window_block(bmp_class_.data(), window_flags_.data(), text, i, reach, classes, carry, block)) {
            bool done = !kLowering || block.changing == 0;
            bits = block.word;
            openings = block.opening;
            tail = 0xFFFF;
            if (done && classes) {
                if (block.tail) {
                    tail = block.tail_word;
                } else {
                    classify_tail(text, i, classes, tail);
                }
            }
            return done;
        }
    }
    return classify_block<kLowering>(text, i, classes, bits, openings, tail);
}

}  // namespace vadrel_guardrail::phrase_matching
