// `Scratch`: all that a check writes, apart from the programs it runs (see automaton.hpp). One per thread, reused
// whichever program runs: its tables hold several programs' entries at once, each tagged with its program, so
// that engines taking turns keep theirs; nothing is cleared on a change of program but when tags start over.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vadrel_guardrail::phrase_matching {

struct Span {
    Py_ssize_t start;
    Py_ssize_t end;  // excluded
};

// A recent answer of a program's jump table, with what a walk reads next at the node the word leads to, so that
// a repeated word costs one load (see `PhraseAutomaton::cached_jump`). One cache line.
struct alignas(64) WordStep {
    std::uint64_t low = 0, high = 0;  // the word's key, as in the jump table
    std::uint64_t who = 0;            // the program's tag, shifted by 32, and the node the word starts from
    std::uint64_t follows[2] = {};    // the jump's `follows`, folded in two
    std::int32_t node = -1;           // -1: no phrase goes on with the word
    std::int32_t terminal = -1, subtree_min = -1;  // the node's
    std::int32_t edge_child = -1, edge_subtree_min = -1;  // its step on a space (with kEnds), that child's
    std::uint8_t length = 0;  // 0: an empty entry
    std::uint8_t edge_class = 0;
};

// A match recently reported at a node, by its raw text: a text repeats a few raw texts (a phrase in the case the
// text writes it), and a compare of the raw text costs far less than lowering it, with the sigma rule. A raw
// text reports the same phrase wherever it stands, except through its capital sigmas whose lower case hangs on
// the characters around the match: an entry holds only while those lower as they did.
struct Reported {
    static constexpr std::size_t kBytes = 104;  // longer matches are compared afresh each time
    std::uint32_t program = 0;  // the program's tag; 0: an empty entry
    std::int32_t node = -1;
    std::int32_t phrase = -1;
    std::uint16_t length = 0;  // in characters
    std::uint16_t width = 0;   // of a character of the raw text, in bytes
    std::uint64_t sigmas = 0;  // the capital sigmas that hang on the context, as bits by place
    std::uint64_t finals = 0;  // those of them that lowered to the final form
    unsigned char raw[kBytes] = {};
};

// A character of a stretch lowered to `size` characters, at `at` in the stretch, after a growth of `before`.
struct Grown {
    Py_ssize_t at, size, before;
};

// A stretch lower-cased apart (of two or four bytes a character) from `begin` in the text, and where its
// characters stand in the text.
struct Stretch {
    const void *chars;
    bool narrow;
    Py_ssize_t begin;
    const std::vector<Grown> &grown;

    Py_ssize_t origin(Py_ssize_t at) const {
        auto after = std::upper_bound(grown.begin(), grown.end(), at,
                                      [](Py_ssize_t place, const Grown &g) { return place < g.at; });
        if (after == grown.begin()) {
            return begin + at;
        }
        const Grown &g = *(after - 1);
        return at < g.at + g.size ? begin + g.at - g.before : begin + at - (g.before + g.size - 1);
    }
};

struct Scratch {
    // The program the tables are set for (`PhraseAutomaton::enter`), the era, the program's tag mixed into indexes.
    std::uint64_t program = 0;
    std::uint32_t era = 0;
    std::uint64_t mix = 0;
    std::vector<WordStep> words;  // recent word look-ups: a program uses the first `word_mask + 1`
    std::size_t word_mask = 0;
    std::vector<Reported> reported;  // recent reports, pairs by node, the newer first: a program's first pairs
    std::size_t report_pairs = 0;
    // The lowered scan's stretch (of two or four bytes a character), its grown characters, and the matches in the
    // text itself that wait to be told (with their nodes).
    std::vector<Py_UCS4> wide;
    std::vector<Py_UCS2> narrow;
    std::vector<Grown> grown;
    std::vector<std::pair<Span, std::int32_t>> spans;
    // The linear scan's best phrase by start, and the states it met: a row of next slots each, and the state with
    // the node down its output links where a phrase ends.
    std::vector<std::int32_t> best, rows;
    std::vector<std::pair<std::int32_t, std::int32_t>> states;
    std::unordered_map<std::int32_t, std::int32_t> slot_of;
    // What a check finds (see `find_phrases_of_lowered`), which phrases it saw (all false between checks), and
    // the items that the reason names.
    std::vector<std::int32_t> found;
    std::vector<bool> seen;
    std::vector<std::u32string> other_texts;
    std::vector<std::int32_t> named_items;
};

}  // namespace vadrel_guardrail::phrase_matching
