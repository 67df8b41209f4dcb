// Blocks of two-byte text whose characters lie in ASCII and one other window of 128 characters of the plane (a
// text in Greek, Cyrillic or a Latin script with accents, with its spaces and punctuation): their classes and
// flags by byte permutes of the two windows' rows in the plane's tables, 64 characters at a step, instead of
// one table load per character. Taken at run time where the machine has AVX-512 with byte permutes.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vadrel_guardrail::phrase_matching {

// The flags of 64 characters as bits (see `window_flags`), and the word characters of the 16 after them.
struct WindowBlock {
    std::uint64_t word, opening, changing;
    std::uint32_t tail_word;
    bool tail;  // the 16 after lie in the two windows too, and were read
};

// Whether this machine takes the road.
bool window_road();

// The 64 characters at `text`, and when `classes` is given the 16 after them: their classes (a byte each, from
// `class_plane`) into `classes`, their flags (from `flag_plane`: kWord, kChangesWhenLowered and bit 2 for a
// non-word character that opens a phrase) as bits into `out`. The characters lie in ASCII and `window` (a
// window of 128 characters, by number), or else in ASCII and the window of the first that is not ASCII, which
// `window` then gets. False, with nothing written, when neither holds. The 16 after are read only where they
// lie in the same two windows (`out.tail`). Only where `window_road()` holds.
bool classify_window_block(const std::uint8_t *class_plane, const std::uint8_t *flag_plane, const Py_UCS2 *text,
                           std::uint8_t *classes, unsigned &window, WindowBlock &out);

}  // namespace vadrel_guardrail::phrase_matching
