// Native whole-word phrase matching with the host's own `re` rules.
//
// `PhraseAutomaton` finds exactly what `re.compile(r"\b(" + "|".join(map(re.escape, phrases)) + r")\b",
// re.IGNORECASE).findall(text)` finds, for phrases that are already lower-cased: the same word characters
// (`Py_UNICODE_ISALNUM` or underscore), the same case equivalences (the host's simple lower-case mapping plus
// the extra classes of `re._casefix`), the same ordered alternation (the first phrase in list order that
// matches at a position and ends on a word boundary wins, not the longest), leftmost and non-overlapping,
// with `findall`'s handling of empty matches.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vadrel_guardrail::phrase_matching {

struct Span {
    Py_ssize_t start;
    Py_ssize_t end;  // excluded
};

class PhraseAutomaton {
public:
    // Null when the host's case rules cannot be read; callers then use the pattern itself.
    // `phrases` are lower-cased phrases in list order, duplicates kept. Needs the GIL.
    static std::shared_ptr<const PhraseAutomaton> build(const std::vector<std::u32string> &phrases);

    // Every match in `text` (an `str`), left to right. Reads the string's own buffer; needs the GIL only
    // for the duration of the call so that the string cannot change.
    std::vector<Span> find_all(PyObject *text) const;

private:
    struct Edge {
        std::uint32_t key;
        std::int32_t child;
    };
    struct Node {
        std::uint32_t first_edge = 0;
        std::uint32_t edge_count = 0;
        std::int32_t terminal = -1;     // smallest phrase index ending here, or -1
        std::int32_t subtree_min = -1;  // smallest phrase index ending here or below
    };

    std::int32_t step(std::int32_t node, std::uint32_t key) const;
    template <typename CharT>
    void scan(const CharT *text, Py_ssize_t length, std::vector<Span> &out) const;
    template <typename CharT>
    void scan_word_starts(const CharT *text, Py_ssize_t length, std::vector<Span> &out) const;
    template <typename CharT>
    Py_ssize_t match_at(const CharT *text, Py_ssize_t length, Py_ssize_t start) const;

    std::vector<Node> nodes_;
    std::vector<Edge> edges_;  // each node's edges, sorted by key
    std::int32_t root_small_[256];  // the root's children for keys below 256, the hot first step
    bool word_starts_only_ = false;  // no empty phrase, and every phrase starts with a word character
    std::vector<std::uint64_t> opening_pairs_;  // bitmap over (key low byte of 1st, of 2nd character)
};

}  // namespace vadrel_guardrail::phrase_matching
