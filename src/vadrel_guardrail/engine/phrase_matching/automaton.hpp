// Native whole-word phrase matching with the host's own `re` rules.
//
// `PhraseAutomaton` finds exactly what `re.compile(r"\b(" + "|".join(map(re.escape, phrases)) + r")\b",
// re.IGNORECASE).findall(text)` finds, for phrases that are already lower-cased: the same word characters
// (`Py_UNICODE_ISALNUM` or underscore), the same case equivalences (the host's simple lower-case mapping plus
// the extra classes of `re._casefix`), the same ordered alternation (the first phrase in list order that
// matches at a position and ends on a word boundary wins, not the longest), leftmost and non-overlapping,
// with `findall`'s handling of empty matches.
//
// It reads the host string's own storage (1-, 2- or 4-byte units) and folds case as it goes: characters map
// to classes of case-equivalent characters, and a trie over those classes is walked from each place where a
// match can start. When every phrase starts with a word character, those places are word starts, found a
// block of characters at a time; with many phrases, each word of the text is then looked up whole (a match
// cannot end inside a word) before the walk goes on from where the word leads.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/cpu_path.hpp"

namespace vadrel_guardrail::phrase_matching {

struct Span {
    Py_ssize_t start;
    Py_ssize_t end;  // excluded
};

class CaseRules;
class Builder;
struct Prefilter;
struct WindowCarry;

class PhraseAutomaton {
public:
    // Null when the host's case rules cannot be read; callers then use the pattern itself.
    // `phrases` are lower-cased phrases in list order, duplicates kept. Needs the GIL.
    static std::shared_ptr<const PhraseAutomaton> build(const std::vector<std::u32string> &phrases);

    // Every match in `text` (an `str`), left to right. Reads the string's own buffer; needs the GIL only
    // for the duration of the call so that the string cannot change.
    std::vector<Span> find_all(PyObject *text) const;

    // What `findall` finds in `text.lower()`, told as phrases: the indexes of the phrases whose text equals a
    // matched text (the first of each text), each once, in the order of the first match of each; `matched`
    // says whether anything matched at all. `text` itself is scanned, not a lower-cased copy, except around
    // characters whose lower case it cannot stand for (one that lower-cases to several characters): those
    // stretches are lower-cased apart. A capital sigma takes the form that `str.lower` gives it in `text`.
    // `other_texts` gets the texts of the matches that equal no phrase, each once (the phrases as they are now
    // may hold them), and such a match is told among `phrases` as -1 - the place of its text there.
    // With `may_stop`, the scan ends once every text of the phrases has been found, where the matches so far are
    // final, and returns true: later matches could only add `other_texts`. Else it returns false.
    bool find_phrases_of_lowered(PyObject *text, std::vector<std::int32_t> &phrases, bool &matched,
                                 std::vector<std::u32string> &other_texts, bool may_stop = false) const;

    std::size_t phrase_count() const { return phrases_.size(); }

private:
    friend class Builder;

    // A child's id carries this bit when a phrase ends at the child.
    static constexpr std::int32_t kEnds = 0x40000000;
    struct Node {
        std::int32_t terminal = -1;     // smallest phrase index ending here, or -1
        std::int32_t subtree_min = -1;  // smallest phrase index ending here or below
        std::uint32_t first = 0;        // first edge (nodes without a dense row)
        std::uint32_t count = 0;        // number of edges
    };

    template <typename CharT>
    std::uint32_t class_of(CharT c) const;
    // The child for a class (with kEnds), or -1.
    std::int32_t step(std::int32_t node, std::uint32_t cls) const {
        if (node < dense_nodes_) {
            return dense_[static_cast<std::size_t>(node) * class_count_ + cls];
        }
        const Node &n = nodes_[node];
        const std::uint16_t *classes = edge_class_.data() + n.first;
        for (std::uint32_t e = 0; e < n.count; ++e) {
            if (classes[e] == cls) {
                return edge_child_[n.first + e];
            }
        }
        return -1;
    }
    template <typename CharT>
    Py_ssize_t match_at(const CharT *text, Py_ssize_t length, Py_ssize_t start, std::int32_t &node) const;
    template <typename CharT>
    bool word_key(const CharT *text, Py_ssize_t length, Py_ssize_t start, std::uint32_t word_length,
                  std::uint64_t &low, std::uint64_t &high) const;
    struct BlockKeys;
    template <typename CharT>
    Py_ssize_t match_word(const CharT *text, Py_ssize_t length, Py_ssize_t start, std::uint32_t word_length,
                          std::uint64_t low, std::uint64_t high, std::uint64_t hash, std::int32_t &node,
                          const BlockKeys *block = nullptr) const;
    template <typename CharT>
    Py_ssize_t match_by_word(const CharT *text, Py_ssize_t length, Py_ssize_t start, std::uint32_t word_length,
                             std::int32_t &node) const;
    template <typename CharT>
    bool classes_of_16(const CharT *text, std::uint8_t *classes, std::uint32_t &word) const;
    struct WordStep;
    struct WordKey {
        std::uint64_t low, high, hash;
        std::uint32_t length;  // of the word, 0 when it may run past the classes that its block keeps
        bool ready;            // the key is known (else the word is looked up from the text)
    };
    // The keys of the words that start in the block of 64 characters at `at`, by offset, where `ready` has
    // their bits.
    struct BlockKeys {
        Py_ssize_t at;
        const WordKey *keys;
        std::uint64_t ready;
    };
    template <typename CharT>
    bool word_key_at(const CharT *text, Py_ssize_t length, Py_ssize_t j, std::uint32_t &word_length,
                     std::uint64_t &low, std::uint64_t &high) const;
    template <typename CharT>
    int jump_inside(const CharT *text, Py_ssize_t length, std::int32_t node, Py_ssize_t &j, const WordStep *&landed,
                    const BlockKeys *block) const;
    template <typename CharT>
    Py_ssize_t finish_match(const CharT *text, Py_ssize_t length, std::int32_t node, Py_ssize_t j,
                            std::int32_t &best_node, const WordStep *landed = nullptr,
                            const BlockKeys *block = nullptr) const;
    template <bool kLowering, typename CharT>
    bool classify_block(const CharT *text, Py_ssize_t i, std::uint8_t *classes, std::uint64_t &bits,
                        std::uint64_t &openings, std::uint32_t &tail) const;
    // `classify_block` by the byte-permute path where it applies (see block_windows.hpp), else by that;
    // `carry` is what the path keeps from block to block; it reads characters ahead only before `reach`.
    template <bool kLowering, typename CharT>
    bool classify_block_by_windows(const CharT *text, Py_ssize_t reach, Py_ssize_t i, WindowCarry &carry,
                                   std::uint8_t *classes, std::uint64_t &bits, std::uint64_t &openings,
                                   std::uint32_t &tail) const;
    template <typename CharT>
    void classify_tail(const CharT *text, Py_ssize_t i, std::uint8_t *classes, std::uint32_t &tail) const;
    template <typename CharT>
    int pick_openings(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint64_t starts, bool all,
                      int *picked) const;
    template <typename CharT>
    int word_keys(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint64_t bits, std::uint32_t tail,
                  const std::uint8_t *classes, int *picked, int count, WordKey *keys, std::uint64_t &ready) const;
    // Where a scan tells its matches: the start, the end (excluded) and the node where the match ends.
    struct MatchSink {
        virtual void match(Py_ssize_t start, Py_ssize_t end, std::int32_t node) = 0;

    protected:
        ~MatchSink() = default;
    };
    template <typename F>
    static auto sink_of(F f) {
        struct Sink final : MatchSink {
            F f;
            explicit Sink(F f) : f(std::move(f)) {}
            void match(Py_ssize_t start, Py_ssize_t end, std::int32_t node) override { f(start, end, node); }
        };
        return Sink(std::move(f));
    }
    // The scans try the candidates from `from` up to `limit` that lie at or after `resume`, which each match
    // moves to its end, and return `length`. When lowering, once they meet a character that changes when
    // lowered, they return a place up to which they tried the candidates, at or before that character: the
    // matches that start within `reach_` before it may have read it, and are to be found again over the
    // lower-cased stretch.
    template <bool kLowering, typename CharT>
    Py_ssize_t scan(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit, Py_ssize_t &resume,
                    MatchSink &sink) const;
    template <bool kLowering, typename CharT>
    Py_ssize_t scan_word_starts(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                                Py_ssize_t &resume, MatchSink &sink) const;
    // The scan over word starts, run only near the text's required words (see prefilter.hpp).
    template <bool kLowering, typename CharT>
    Py_ssize_t scan_prefiltered(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                                Py_ssize_t &resume, MatchSink &sink) const;
    void build_prefilter();
    template <bool kLowering, typename CharT>
    Py_ssize_t scan_linear(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                           Py_ssize_t &resume, MatchSink &sink) const;
    template <bool kLowering, typename CharT>
    Py_ssize_t scan_everywhere(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                               Py_ssize_t &resume, MatchSink &sink) const;
    // `found_texts`, when given, counts the phrase texts told so far (by `tell`): the scan ends, returning true,
    // once it holds all of them.
    template <typename CharT, typename Tell>
    bool scan_lowered(const CharT *text, Py_ssize_t length, Tell &&tell, const std::size_t *found_texts) const;
    template <typename CharT, typename SigmaAt>
    int phrase_of_match(const CharT *chars, Py_ssize_t start, Py_ssize_t end, std::int32_t node,
                        SigmaAt &&sigma_at) const;

    const CaseRules *rules_ = nullptr;
    CpuPath path_ = CpuPath::kPortable;  // the SIMD code that the scans run, chosen by `build`
    std::vector<Node> nodes_;                // breadth-first, the root first
    std::vector<std::uint16_t> edge_class_;  // each other node's edges, sorted by class
    std::vector<std::int32_t> edge_child_;   // with kEnds
    // Rows of `class_count_` children (-1: none) for the first `dense_nodes_` nodes, the busy upper levels.
    std::vector<std::int32_t> dense_;
    std::int32_t dense_nodes_ = 0;
    std::uint32_t class_count_ = 1;  // class 0: characters in no phrase
    std::uint16_t latin1_class_[256] = {};
    // The class of each character of the basic multilingual plane: 256 pages of 256, absent pages shared.
    std::uint32_t page_of_[256] = {};
    std::vector<std::uint16_t> pages_;
    std::vector<std::uint8_t> bmp_class_;  // the same, one byte per character, when classes fit a byte
    std::unordered_map<std::uint32_t, std::uint16_t> class_of_key_;  // for characters beyond that plane
    // No empty phrase, and every phrase starts with a character that only word characters or non-ASCII
    // non-word characters match (the Greek iota matches U+0345): matches start at word starts, or at such a
    // non-word character after a word.
    bool word_starts_only_ = false;
    bool nonword_openings_ = false;  // some phrase starts with a class that holds a non-word character
    std::vector<std::uint8_t> nonword_opening_;  // by class
    // With classes of a byte, what a block scan needs of each character of the plane in one load: its class,
    // its flags shifted by 8, and kOpening for a non-word character that can open a phrase.
    static constexpr std::uint16_t kOpening = 0x400;
    std::vector<std::uint16_t> bmp_scan_;
    std::vector<std::uint64_t> opening_pairs_;  // bitmap over (class low byte of 1st, of 2nd character)
    // The same pairs as a block scan's kept classes show them (an ASCII non-word character there may show as
    // class 0), for word starts picked from those classes; empty where most pairs open a phrase, and a pick
    // would drop few words.
    std::vector<std::uint64_t> block_pairs_;
    void build_block_pairs();
    // The flags of `bmp_scan_` (its high byte) by character, for the byte-permute path of the block scans;
    // empty where that path is not taken.
    std::vector<std::uint8_t> window_flags_;
    void build_window_flags();
    // Word jumps, for busy tries: the node that a whole word of the text leads to, found by the word's classes
    // in one look-up instead of a walk. Only nodes where a word can end are kept: a phrase ends there, or
    // goes on with a character that is not a word character.
    static constexpr int kJumpWord = 16;  // longer words are walked
    struct alignas(64) Jump {  // one cache line
        std::uint64_t low = 0, high = 0;  // the word's classes, a byte each, zero beyond its length
        std::int32_t node = -1;  // -1: empty slot
        std::uint32_t length = 0;
        std::int32_t from = 0;  // the node the word starts from: the root, or one after a non-word character
        // The classes of the three characters after the word that can go on from the node, hashed to bits
        // (see `follow_bit`); all bits when a phrase ends at the node or within two characters further.
        std::uint64_t follows[4] = {};
    };
    std::vector<Jump> jumps_;  // open addressing, a power of two of slots
    std::vector<std::uint16_t> jump_tags_;  // per slot: 0 when empty, else bits of the hash (never 0)
    std::size_t jump_mask_ = 0;
    bool use_jumps_ = false;
    // Recent answers of the jump table, with what a walk reads next at the node a word leads to, so that a
    // repeated word costs one load from a small table (see word_cache.hpp).
    struct alignas(64) WordStep {  // one cache line
        std::uint64_t low = 0, high = 0;  // the word's key, as in `Jump`
        std::uint32_t length = 0;         // 0: an empty entry
        std::int32_t from = 0;
        std::int32_t node = -1;           // -1: no phrase goes on with the word from `from`
        std::int32_t terminal = -1;       // the node's
        std::uint32_t edge_class = ~0u;   // an edge of the node (none: ~0), and its child with kEnds
        std::int32_t edge_child = -1;
        std::uint64_t follows[2] = {};    // the jump's `follows`, folded in two
        std::int32_t subtree_min = -1;       // the node's
        std::int32_t edge_subtree_min = -1;  // the edge's child's (-1 when there is none)
    };
    static constexpr std::size_t kWordCacheSize = 8192;
    static constexpr unsigned kWordCacheShift = 20;
    mutable std::vector<WordStep> word_cache_ = std::vector<WordStep>(1);
    mutable std::size_t word_cache_mask_ = 0;
    const WordStep &cached_jump(std::uint64_t hash, std::uint64_t low, std::uint64_t high, std::uint32_t length,
                                std::int32_t from) const;
    // Bits over the hashes of the jump table's (node, word) pairs, every pair's set: a walk drops most words
    // that no phrase goes on with at its node by one load from here, before their look-up.
    std::vector<std::uint64_t> pair_filter_;
    unsigned pair_shift_ = 64;
    void build_pair_filter();
    bool pair_passes(std::uint64_t hash) const {
        std::uint64_t bit = (hash * 0x9E3779B97F4A7C15ull) >> pair_shift_;
        return ((pair_filter_[bit >> 6] >> (bit & 63)) & 1u) != 0;
    }
    const WordStep &fill_word_cache(WordStep &entry, std::uint64_t hash, std::uint64_t low, std::uint64_t high,
                                    std::uint32_t length, std::int32_t from) const;
    // Bits over a hash of a word's classes and the classes of the three characters after it, set for every
    // word and three characters that can go on to a match (see `follow_index`): most words of a text are
    // dropped by one or two loads from here, before their look-up.
    std::vector<std::uint64_t> follow_filter_;
    std::uint8_t coarse_class_[256] = {};  // how the filter sees the classes after a word (see `follows_key`)
    unsigned follow_shift_ = 64;
    // For telling matched texts back as phrases: the phrases, and for each node the phrases of different
    // text that end there, in list order.
    std::vector<std::u32string> phrases_;
    // How far past a candidate a scan may read: the longest phrase or word look-up, and the characters after.
    Py_ssize_t reach_ = 0;
    Py_ssize_t longest_ = 0;  // the longest phrase
    // For the scan with failure links: each node's depth, the node of the longest proper end of its text that
    // is also a path from the root, and the nearest node down those links where a phrase ends (or -1).
    std::vector<std::int32_t> depth_, fail_, output_;
    // Characters read by the walks from word starts, which tell a scan when they read the text over and over.
    mutable std::size_t walked_ = 0;
    std::vector<std::uint32_t> texts_begin_;
    std::vector<std::int32_t> texts_;
    // The phrases that recent matches were told as (see told_cache.hpp): a text's matches repeat the same
    // few raw texts, each told again by one compare.
    struct alignas(64) ToldText {  // two cache lines
        static constexpr std::uint32_t kBytes = 100;  // longer matches are told afresh each time
        std::int32_t node = -1;  // -1: an empty entry
        std::int32_t phrase = -1;
        std::uint16_t length = 0;  // in characters
        std::uint16_t width = 0;   // of a character of the raw text, in bytes
        // The capital sigmas whose lower case hangs on the characters around the match, as bits by place,
        // and those of them that lowered to the final form.
        std::uint64_t sigmas = 0;
        std::uint64_t finals = 0;
        unsigned char raw[kBytes] = {};
    };
    mutable std::vector<ToldText> told_;  // pairs of entries, the last told first; empty until first used
    template <typename CharT, typename SigmaAt>
    int phrase_of_match_afresh(const CharT *chars, Py_ssize_t start, Py_ssize_t end, std::int32_t node,
                               SigmaAt &&sigma_at) const;
    std::shared_ptr<const Prefilter> prefilter_;  // null when some phrase has no word to require
};

}  // namespace vadrel_guardrail::phrase_matching
