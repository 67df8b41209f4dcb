// Native whole-word phrase matching with Python's own `re` rules: the design on one page.
//
// WHAT. `PhraseAutomaton` finds exactly what `re.compile(r"\b(" + "|".join(map(re.escape, phrases)) + r")\b",
// re.IGNORECASE).findall(text)` finds, for phrases already lower-cased: the same word characters
// (`Py_UNICODE_ISALNUM` or underscore), the same case equivalences (the simple lower-case mapping plus the extra
// classes of `re._casefix`), the same leftmost-first alternation (the first phrase in list order that matches at
// a place and ends on a word boundary wins), non-overlapping. It reads the string's own storage in place.
//
// PROGRAM AND SCRATCH, as hyperscan keeps its database apart from its scratch and re2 its program apart from its
// DFA cache: a `PhraseAutomaton` is immutable after `build` and owns no cache, one serving every thread; all that a
// check writes lives in the thread's `Scratch` (scratch.hpp), handed down through the scan and report layers.
//
// LAYERS AND FILES.
// 1. Compile: build.cpp (trie, classes, failure links, jump table, filters, opening pairs, CPU path),
//    build_prefilter.cpp (required words), case_rules.* (Python's case tables, read once).
//    The trie with failure and output links is an Aho–Corasick automaton over classes of case-equivalent
//    characters (alphabet compression, as re2's byte classes), its busy top levels dense rows (a table-driven
//    DFA), the rest sorted edge lists. The jump table hashes whole words (up to 16 characters) from where a word
//    can start to the node it leads to; the filters in front of it and the prefilter's bits are Bloom filters
//    of one hash.
// 2. Scan: scan.cpp (the choice of scan, walks, the word-start block scan), scan_linear.cpp, scan_prefiltered.cpp,
//    prefilter_chunk.cpp, block_windows.*, scan_lowered.cpp, scratch.* (a program's entries in the scratch).
//    - A phrase can start at a non-word character: `scan_everywhere`, a walk from every boundary.
//    - Else, when every phrase holds a plain word: `scan_prefiltered`, a necessary-factor prefilter (as in re2
//      and hyperscan) that screens the text's words by hashed fingerprints (as Wu–Manber and hyperscan's FDR) and
//      runs the word-start scan before the required words it finds, with a hand-over.
//    - Else `scan_word_starts`: 64 characters classified at a step into bit masks (SIMD classification as in
//      simdjson: range compares for ASCII, a plane table, or AVX-512 byte permutes as hyperscan's Teddy), word
//      starts picked by opening pairs (a 2-gram filter) and looked up whole in the jump table through the
//      scratch's recent look-ups (a direct-mapped cache). Walks that reread the text eight times over hand the
//      rest to `scan_linear`, the Aho–Corasick scan, its DFA built lazily in bounded space (as re2's).
//    - `scan_lowered` stops at characters whose lower case a scan of the text itself cannot stand for (one that
//      lowers to several) and scans the stretch around them lower-cased apart.
// 3. Report: report.cpp (matches as spans, or as the phrases their lower case equals, comparing only the places
//    of re's extra case classes, with the sigma rule of `str.lower`), registry.* (bound to the phrase objects).
// Shared by compile and scan: ascii_block.hpp (16 ASCII characters by arithmetic), word_filter.hpp (the hashes
// of the jump table and filters), prefilter.hpp (the prefilter's words and chunk steps).
//
// WORDS.
//   class          the class of case-equivalent characters a character belongs to (0: in no phrase).
//   walk           following the trie from a candidate start, a character or a word at a time.
//   opening pairs  the pairs of classes (their low bytes) that the first two characters of a phrase have.
//   reach          how far past a candidate a scan may read: the longest phrase or word look-up, and after it.
//   stretch        text around characters that change when lowered, lower-cased apart into the scratch; in the
//                  prefilter, the starts before a required word.
//   hand-over      where the prefilter passes the rest of the text to the word-start scan (its stretches cover
//                  a third of what it read, or a character changes when lowered).
//   window carry   what the byte-permute step keeps from block to block: the windows of the plane it guesses
//                  for the next block, and the block it read ahead.
//   tell           hand a match to the report layer, which tells it as a phrase of the list.
//   tag, era       a program's entries in the scratch carry the low half of its serial; a new high half (era)
//                  empties the scratch's tables.
//
// WHY EACH STRATEGY: each switched off in turn (SIMD paths forced through the test-only module), measured by
// bench/phrase_bench.py against the next simpler one (a shared machine with AVX-512): word look-ups vs. walking
// each word 2.6x (English, 1,000 phrases, 1 MB); recent look-ups vs. the jump table alone 2.0x (10,000 phrases,
// 10 KB); opening pairs vs. every word start 1.4-1.6x (Greek, Turkish, 20 phrases); prefilter vs. word starts
// 3-13x; AVX-512 vs. AVX2 1.25-1.4x, AVX2 vs. portable 1.3-1.35x (1 MB); failure links vs. rereading walks 2x
// ('a a ... a b'); recent reports vs. comparing each match 1.1-1.15x (Greek, Turkish, 10,000 phrases); one
// scratch for every program vs. one per program 10-20x (8 or 16 engines of 200 phrases in turn, 300 B). The
// hand-over at a third runs within 10% of the better of prefilter on and off. The tests compare every path with
// `re`, under each SIMD path the CPU runs.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"
#include "vadrel_guardrail/engine/phrase_matching/scratch.hpp"

namespace vadrel_guardrail::phrase_matching {

// The SIMD code that the scans run: the best this CPU runs, unless a test chose one before the first build.
enum class CpuPath : std::uint8_t { kPortable, kAvx2, kAvx512 };
CpuPath cpu_path();
const char *cpu_path_name(CpuPath path);  // "portable", "avx2" or "avx512"

class CaseRules;
class Builder;
struct Prefilter;
struct WindowCarry;

class PhraseAutomaton {
public:
    // The program of lower-cased `phrases` (list order, duplicates kept); null when Python's case rules cannot be
    // read (callers then use the pattern itself). Needs the GIL.
    static std::shared_ptr<const PhraseAutomaton> build(const std::vector<std::u32string> &phrases);

    // Every match in `text` (an `str`), left to right, read in place; the GIL held so that it cannot change.
    std::vector<Span> find_all(PyObject *text, Scratch &scratch) const;

    // What `findall` finds in `text.lower()`, as `scratch.found`: each matched phrase once (the first of its text),
    // or -1 - the index of a text in `scratch.other_texts` that equals no phrase. With `may_stop`, returns true
    // where it stopped once every phrase text was found (later matches could only add other texts).
    bool find_phrases_of_lowered(PyObject *text, Scratch &scratch, bool &matched, bool may_stop = false) const;

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

    // The class of a character; no branch for the narrower widths (absent pages read the shared page of 0).
    template <typename CharT>
    std::uint32_t class_of(CharT c) const {
        if constexpr (sizeof(CharT) == 1) {
            return latin1_class_[c];
        } else {
            if (sizeof(CharT) == 2 || c < kBmp) {
                return bmp_class_.empty() ? pages_[page_of_[c >> 8] + (c & 0xFFu)] : bmp_class_[c];
            }
            auto found = class_of_key_.find(rules_->key(c));
            return found == class_of_key_.end() ? 0 : found->second;
        }
    }
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
    // What the walks from a scan's candidates tell it: the node where the best match ends, and how many
    // characters they read in all (a scan gives way to the one with failure links when they reread the text).
    struct Walk {
        std::int32_t node = 0;
        std::size_t read = 0;
        Scratch *scratch = nullptr;
    };
    template <typename CharT>
    Py_ssize_t match_at(const CharT *text, Py_ssize_t length, Py_ssize_t start, Walk &walk) const;
    template <typename CharT>
    bool word_key(const CharT *text, Py_ssize_t length, Py_ssize_t start, std::uint32_t &word_length,
                  std::uint64_t &low, std::uint64_t &high) const;
    struct BlockKeys;
    template <typename CharT>
    Py_ssize_t match_word(const CharT *text, Py_ssize_t length, Py_ssize_t start, std::uint32_t word_length,
                          std::uint64_t low, std::uint64_t high, std::uint64_t hash, Walk &walk,
                          const BlockKeys *block = nullptr) const;
    template <typename CharT>
    Py_ssize_t match_by_word(const CharT *text, Py_ssize_t length, Py_ssize_t start, std::uint32_t word_length,
                             Walk &walk) const;
    template <typename CharT>
    bool classes_of_16(const CharT *text, std::uint8_t *classes, std::uint32_t &word, std::uint32_t &opening,
                       std::uint32_t &changing) const;
    template <typename CharT>
    bool classes_of_16(const CharT *text, std::uint8_t *classes, std::uint32_t &word) const;
    struct WordKey {
        std::uint64_t low, high, hash;
        std::uint32_t length;  // of the word, 0 when it may run past the classes that its block keeps
        bool ready;            // the key is known (else the word is looked up from the text)
    };
    // The keys of the words that start in the block of 64 characters at `at`, by offset, those known in `ready`.
    struct BlockKeys {
        Py_ssize_t at;
        const WordKey *keys;
        std::uint64_t ready;
    };
    template <typename CharT>
    int jump_inside(const CharT *text, Py_ssize_t length, std::int32_t node, Py_ssize_t &j, const WordStep *&landed,
                    const BlockKeys *block, Scratch &scratch) const;
    template <typename CharT>
    Py_ssize_t finish_match(const CharT *text, Py_ssize_t length, std::int32_t node, Py_ssize_t j,
                            Walk &walk, const WordStep *landed = nullptr,
                            const BlockKeys *block = nullptr) const;
    template <bool kLowering, typename CharT>
    bool classify_block(const CharT *text, Py_ssize_t i, std::uint8_t *classes, std::uint64_t &bits,
                        std::uint64_t &openings, std::uint32_t &tail) const;
    // `classify_block` by the byte-permute path where it applies (block_windows.hpp), reading ahead before `reach`.
    template <bool kLowering, typename CharT>
    bool classify_block_by_windows(const CharT *text, Py_ssize_t reach, Py_ssize_t i, WindowCarry &carry,
                                   std::uint8_t *classes, std::uint64_t &bits, std::uint64_t &openings,
                                   std::uint32_t &tail) const;
    template <typename CharT>
    void classify_tail(const CharT *text, Py_ssize_t i, std::uint8_t *classes, std::uint32_t &tail) const;
    template <typename CharT>
    int word_keys(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint64_t bits, std::uint32_t tail,
                  const std::uint8_t *classes, int *picked, int count, WordKey *keys, std::uint64_t &ready,
                  const Scratch &scratch) const;
    // Where a scan tells its matches (start, end excluded, the node where it ends); with the check's scratch.
    struct MatchSink {
        virtual void match(Py_ssize_t start, Py_ssize_t end, std::int32_t node) = 0;
        Scratch *scratch = nullptr;

    protected:
        ~MatchSink() = default;
    };
    template <typename F>
    static auto sink_of(F f, Scratch &scratch) {
        struct Sink final : MatchSink {
            F f;
            Sink(F f, Scratch &scratch) : f(std::move(f)) { this->scratch = &scratch; }
            void match(Py_ssize_t start, Py_ssize_t end, std::int32_t node) override { f(start, end, node); }
        };
        return Sink(std::move(f), scratch);
    }
    // The scans try the candidates in [from, limit) at or after `resume` (each match moves it to its end) and
    // return `length`; when lowering, at a character that changes when lowered they return the place up to which
    // they tried them (those within `reach_` before it are tried again over the lower-cased stretch).
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
    void build_prefilter();  // after the trie, with the block scans' tables
    template <bool kLowering, typename CharT>
    Py_ssize_t scan_linear(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                           Py_ssize_t &resume, MatchSink &sink) const;
    template <bool kLowering, typename CharT>
    Py_ssize_t scan_everywhere(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                               Py_ssize_t &resume, MatchSink &sink) const;
    // Where the lowered scan tells its matches: in the text itself (`stretch` null) or in a stretch.
    struct LoweredSink {
        virtual void match(const Stretch *stretch, Py_ssize_t start, Py_ssize_t end, std::int32_t node) = 0;

    protected:
        ~LoweredSink() = default;
    };
    // The matches of the lower-cased text; with `found_texts` (the phrase texts told so far), it stops once all
    // are, returning true.
    template <typename CharT>
    bool scan_lowered(const CharT *text, Py_ssize_t length, Scratch &scratch, LoweredSink &sink,
                      const std::size_t *found_texts) const;
    template <typename CharT>
    class Teller;  // report.cpp
    template <typename CharT, typename SigmaAt>
    int phrase_of_match(const CharT *chars, Py_ssize_t start, Py_ssize_t end, std::int32_t node,
                        SigmaAt &&sigma_at) const;
    // `phrase_of_match` through the scratch's recent reports (see `Reported`).
    template <typename CharT, typename SigmaAt>
    int reported_phrase(Scratch &scratch, const CharT *chars, Py_ssize_t start, Py_ssize_t end, std::int32_t node,
                        SigmaAt &&sigma_at) const;
    void enter(Scratch &scratch) const;  // sets the scratch's tables for this program

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
    // No empty phrase, and every phrase starts with a character that only word characters or non-ASCII non-word
    // ones match (U+0345 matches the iota): matches start at words, or at such a non-word character after one.
    bool word_starts_only_ = false;
    bool nonword_openings_ = false;  // some phrase starts with a class that holds a non-word character
    std::vector<std::uint8_t> nonword_opening_;  // by class
    // With classes of a byte, what a block scan needs of each character of the plane in one load: its class,
    // its flags shifted by 8, and kOpening for a non-word character that can open a phrase.
    static constexpr std::uint16_t kOpening = 0x400;
    std::vector<std::uint16_t> bmp_scan_;
    std::vector<std::uint64_t> opening_pairs_;  // bitmap over (class low byte of 1st, of 2nd character)
    // The same pairs as a block scan's kept classes show them (an ASCII non-word character may show as class 0);
    // empty where most pairs open a phrase, and a pick would drop few words.
    std::vector<std::uint64_t> block_pairs_;
    // The flags of `bmp_scan_` (its high byte) by character, for the byte-permute path where it is taken.
    std::vector<std::uint8_t> window_flags_;
    // Word jumps, for busy tries: the node that a whole word leads to, in one look-up instead of a walk; only
    // nodes where a word can end (a phrase ends there, or goes on with a non-word character).
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
    static constexpr std::size_t kWordCacheSize = 8192;
    static constexpr unsigned kWordCacheShift = 20;
    const WordStep &cached_jump(Scratch &scratch, std::uint64_t hash, std::uint64_t low, std::uint64_t high,
                                std::uint32_t length, std::int32_t from) const;
    const WordStep &fill_word_cache(WordStep &entry, std::uint64_t who, std::uint64_t hash, std::uint64_t low,
                                    std::uint64_t high, std::uint32_t length) const;
    // Bits over the hashes of the jump table's (node, word) pairs, every pair's set: a walk drops most words
    // that no phrase goes on with at its node by one load from here, before their look-up.
    std::vector<std::uint64_t> pair_filter_;
    unsigned pair_shift_ = 64;
    std::uint64_t pair_bit(std::uint64_t hash) const { return (hash * 0x9E3779B97F4A7C15ull) >> pair_shift_; }
    // Bits over a hash of a word's classes and those of the three characters after it, set for each that can go
    // on to a match (see `follow_index`): most words are dropped by a load or two, before their look-up.
    std::vector<std::uint64_t> follow_filter_;
    std::uint8_t coarse_class_[256] = {};  // how the filter sees the classes after a word (see `follows_key`)
    unsigned follow_shift_ = 64;
    std::vector<std::u32string> phrases_;
    // How far past a candidate a scan may read: the longest phrase or word look-up, and the characters after.
    Py_ssize_t reach_ = 0;
    Py_ssize_t longest_ = 0;  // the longest phrase
    // For the scan with failure links: each node's depth, the node of the longest proper end of its text that
    // is also a path from the root, and the nearest node down those links where a phrase ends (or -1).
    std::vector<std::int32_t> depth_, fail_, output_;
    // For each node the phrases of different text that end there, in list order, and by phrase the places that
    // telling a match compares, as bits.
    std::vector<std::uint32_t> texts_begin_;
    std::vector<std::int32_t> texts_;
    std::vector<std::uint64_t> compared_;
    std::uint64_t serial_ = 0;  // unique to this program in the process, its low half never 0
    std::shared_ptr<const Prefilter> prefilter_;  // null when some phrase has no word to require
};

// The explicit instantiations of a scan member, for both lowering modes and the three character widths.
#define VADREL_PHRASE_SCAN_WIDTH(name, lowering, CharT) \
    template Py_ssize_t PhraseAutomaton::name<lowering>(const CharT *, Py_ssize_t, Py_ssize_t, Py_ssize_t, \
                                                         Py_ssize_t &, MatchSink &) const;
#define VADREL_PHRASE_SCAN_INSTANCES(name)                                                                       \
    VADREL_PHRASE_SCAN_WIDTH(name, false, Py_UCS1) VADREL_PHRASE_SCAN_WIDTH(name, false, Py_UCS2)                \
    VADREL_PHRASE_SCAN_WIDTH(name, false, Py_UCS4) VADREL_PHRASE_SCAN_WIDTH(name, true, Py_UCS1)                 \
    VADREL_PHRASE_SCAN_WIDTH(name, true, Py_UCS2) VADREL_PHRASE_SCAN_WIDTH(name, true, Py_UCS4)

}  // namespace vadrel_guardrail::phrase_matching
