// Blocks of two-byte text whose characters lie in ASCII and up to three other windows of 128 characters (Greek,
// Cyrillic, or Latin with accents as in Turkish or Polish, with the combining marks of their lower cases): their
// classes and flags by byte permutes of the windows' rows of the plane's tables (vector table look-ups, as
// hyperscan's Teddy), 64 characters at a step. Taken where the machine has AVX-512 with byte permutes.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vadrel_guardrail::phrase_matching {

// The flags of 64 characters as bits (see `window_flags`).
struct WindowFlags {
    std::uint64_t word, opening, changing;
};

// Those of a block, and the word characters of the 16 after them.
struct WindowBlock {
    WindowFlags flags;
    std::uint32_t tail_word;
    bool tail;  // the 16 after were read
};

// A block's windows besides ASCII, at most.
constexpr int kWindowsMost = 3;

// What the path keeps from block to block of a scan: the windows it guesses for the next block (the last
// block's, packed), and the block after the last one where it read that whole to get the 16 characters after.
struct WindowCarry {
    unsigned guessed = 0;
    Py_ssize_t at = -1;  // where the kept block starts; -1 for none
    unsigned windows[kWindowsMost];
    int count;
    WindowFlags flags;
    alignas(64) std::uint8_t classes[64];
};

// The classes (from `class_plane`) and flags (kWord, kChangesWhenLowered, bit 2 for an opening non-word character)
// of the 64 characters at `i`, and the 16 after (`out.tail`: from the block after, kept in `carry`, before `reach`);
// false, nothing written, unless they lie in ASCII and the windows `carry` guessed or up to kWindowsMost others.
bool classify_window_block(const std::uint8_t *class_plane, const std::uint8_t *flag_plane, const Py_UCS2 *text,
                           Py_ssize_t i, Py_ssize_t reach, std::uint8_t *classes, WindowCarry &carry,
                           WindowBlock &out);

}  // namespace vadrel_guardrail::phrase_matching
