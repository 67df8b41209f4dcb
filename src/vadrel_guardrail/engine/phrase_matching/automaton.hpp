// Native whole-word phrase matching with Python's own `re` rules: the design on one page.
//
// WHAT. `PhraseAutomaton` finds exactly what `re.compile(r"\b(" + "|".join(map(re.escape, phrases)) + r")\b",
// re.IGNORECASE).findall(text)` finds, for phrases already lower-cased: the same word characters
// (`Py_UNICODE_ISALNUM` or underscore), the same case equivalences (the simple lower-case mapping plus the extra
// classes of `re._casefix`), the same ordered alternation (the first phrase in list order that matches at a
// place and ends on a word boundary wins, not the longest), leftmost and non-overlapping. It reads the string's
// own storage (1-, 2- or 4-byte units) and folds case as it reads.
//
// THREE LAYERS.
// 1. Compile (build.cpp, prefilter.cpp for its words, case_rules.*), once per phrase list, into an immutable
//    program: classes of case-equivalent characters (one lookup, `class_of`, for every reader); a trie over
//    classes (dense rows for its busy top levels); failure links; for busy tries a table of whole words
//    (`jumps_`) with the filters in front of it (word + next characters, node + word); the prefilter's required
//    words; the opening pairs; and the SIMD path (`cpu_path`: VADREL_PHRASE_ISA, else the best the CPU runs),
//    chosen here, once. Nothing in the program changes afterwards: one automaton serves every thread.
// 2. Scan (scan.cpp, scan_linear.cpp, prefilter*.cpp, block_windows.*), per call, its mutable state (the
//    recent word look-ups and reports) in a per-thread `Scratch` handed down with the match sink, never in the
//    program.
//    `scan` picks:
//    - some phrase can start at a non-word character: `scan_everywhere`, a walk from every boundary;
//    - else, with a prefilter (every phrase holds a plain word): `scan_prefiltered` reads the text a chunk at a
//      time as bytes, looks up only words whose filter bit is set, and hands stretches near required words to
//      the word-start scan; once those stretches cover a third of what it read, the rest goes to that scan;
//    - else `scan_word_starts`: 64 characters are classified at a step (ASCII arithmetic, a plane table, or
//      AVX-512 byte permutes over up to three 128-character windows), word starts picked (by the pairs of
//      classes that open a phrase, while they drop a quarter of the starts), each word looked up whole in the
//      jump table, the walk then going on from where it leads. Walks that reread the text eight times over
//      hand the rest to `scan_linear`, which follows failure links and reads each character once.
//    Lowering: characters whose lower case a scan of the text itself cannot stand for (one that lowers to
//    several) stop the scan; the stretch around them is lower-cased apart and scanned (find.cpp).
// 3. Report (find.cpp, registry.*): matches as spans, or as the indexes of the phrases whose
//    text they lower-case to (comparing only the places of re's extra case classes, and the sigma rule of
//    `str.lower`), bound to the caller's phrase objects.
//
// WHY EACH STRATEGY: each was switched off in turn (the SIMD paths by VADREL_PHRASE_ISA) and bench/phrase_bench.py's
// engine column measured against the next simpler one (a shared machine with AVX-512; best of several runs):
// - word look-ups vs. walking each word through the trie: 2.6x (English prose, 1,000 phrases, 1 MB);
// - the table of recent look-ups vs. the jump table alone: 2.0x (English prose, 10,000 phrases, 10 KB);
// - opening pairs vs. every word start: 1.4-1.6x (Greek and Turkish text, 20 phrases, 1 MB);
// - prefilter vs. the word-start scan: 3-13x (English prose, 20 phrases, or phrases whose later words are rare);
// - AVX-512 vs. AVX2 (byte permutes and the prefilter's steps): 1.3-1.4x (English prose, 20 to 10,000 phrases,
//   1 MB), 1.25x (Greek text, 20 phrases, 1 MB);
// - AVX2 vs. portable (the prefilter's steps): 1.3-1.35x (English prose, 20 to 10,000 phrases, 1 MB);
// - failure links vs. rereading walks: 2x (the bench's cliff of a 30-word phrase 'a a ... a b');
// - the scratch's recent reports (raw text -> phrase) vs. comparing each match: 1.1-1.15x (Greek and Turkish text
//   with 10,000 phrases, 1 MB), kept so that no bench cell is slower than the design before this one.
// The prefilter's hand-over (at a third) runs within 10% of the better of prefilter on and off on every row.
// Exactness: the tests compare every path with `re`, under each SIMD path the CPU runs.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"

namespace vadrel_guardrail::phrase_matching {

// Which SIMD code the scans run: chosen once per process, in `build`, and read by every step that has a vector
// form.
enum class CpuPath : std::uint8_t { kPortable, kAvx2, kAvx512 };

// The path of this process: the one that the environment variable VADREL_PHRASE_ISA names ("portable", "avx2"
// or "avx512") when it is set, else the best that this CPU runs. Read once; an unknown value, or a path this
// CPU cannot run, throws std::invalid_argument with a message that says so (at every call, so that the first
// automaton built reports it).
CpuPath cpu_path();
// The path's name as VADREL_PHRASE_ISA spells it.
const char *cpu_path_name(CpuPath path);

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
    // Null when Python's case rules cannot be read; callers then use the pattern itself.
    // `phrases` are lower-cased phrases in list order, duplicates kept. Needs the GIL.
    static std::shared_ptr<const PhraseAutomaton> build(const std::vector<std::u32string> &phrases);

    // Every match in `text` (an `str`), left to right. Reads the string's own buffer; needs the GIL only
    // for the duration of the call so that the string cannot change.
    std::vector<Span> find_all(PyObject *text) const;

    // What `findall` finds in `text.lower()`, reported as phrases: the indexes of the phrases whose text equals a
    // matched text (the first of each text), each once, in the order of the first match of each; `matched`
    // says whether anything matched at all. `text` itself is scanned, not a lower-cased copy, except around
    // characters whose lower case it cannot stand for (one that lower-cases to several characters): those
    // stretches are lower-cased apart. A capital sigma takes the form that `str.lower` gives it in `text`.
    // `other_texts` gets the texts of the matches that equal no phrase, each once (the phrases as they are now
    // may hold them), and such a match is reported among `phrases` as -1 - the place of its text there.
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

    // The class of a character, for every reader; without a branch for the narrower widths: absent pages
    // read the shared page of class 0.
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
    struct Scratch;
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
    int jump_inside(const CharT *text, Py_ssize_t length, std::int32_t node, Py_ssize_t &j, const WordStep *&landed,
                    const BlockKeys *block, Scratch &scratch) const;
    template <typename CharT>
    Py_ssize_t finish_match(const CharT *text, Py_ssize_t length, std::int32_t node, Py_ssize_t j,
                            Walk &walk, const WordStep *landed = nullptr,
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
    int word_keys(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint64_t bits, std::uint32_t tail,
                  const std::uint8_t *classes, int *picked, int count, WordKey *keys, std::uint64_t &ready,
                  const Scratch &scratch) const;
    // Where a scan reports its matches: the start, the end (excluded) and the node where the match ends; with
    // the calling thread's scratch, found once per call.
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
    void build_prefilter();  // after the trie, with the block scans' tables
    template <bool kLowering, typename CharT>
    Py_ssize_t scan_linear(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                           Py_ssize_t &resume, MatchSink &sink) const;
    template <bool kLowering, typename CharT>
    Py_ssize_t scan_everywhere(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                               Py_ssize_t &resume, MatchSink &sink) const;
    // `found_texts`, when given, counts the phrase texts reported so far (by `tell`): the scan ends, returning
    // true, once it holds all of them.
    template <typename CharT, typename Tell>
    bool scan_lowered(const CharT *text, Py_ssize_t length, Tell &&tell, const std::size_t *found_texts) const;
    template <typename CharT, typename SigmaAt>
    int phrase_of_match(const CharT *chars, Py_ssize_t start, Py_ssize_t end, std::int32_t node,
                        SigmaAt &&sigma_at) const;
    // `phrase_of_match` through the scratch's recent reports (see `Reported`).
    template <typename CharT, typename SigmaAt>
    int reported_phrase(Scratch &scratch, const CharT *chars, Py_ssize_t start, Py_ssize_t end, std::int32_t node,
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
    // The flags of `bmp_scan_` (its high byte) by character, for the byte-permute path of the block scans;
    // empty where that path is not taken.
    std::vector<std::uint8_t> window_flags_;
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
    // repeated word costs one load from a small table (see `cached_jump`).
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
    const WordStep &cached_jump(Scratch &scratch, std::uint64_t hash, std::uint64_t low, std::uint64_t high,
                                std::uint32_t length, std::int32_t from) const;
    // Bits over the hashes of the jump table's (node, word) pairs, every pair's set: a walk drops most words
    // that no phrase goes on with at its node by one load from here, before their look-up.
    std::vector<std::uint64_t> pair_filter_;
    unsigned pair_shift_ = 64;
    std::uint64_t pair_bit(std::uint64_t hash) const { return (hash * 0x9E3779B97F4A7C15ull) >> pair_shift_; }
    const WordStep &fill_word_cache(Scratch &scratch, WordStep &entry, std::uint64_t hash, std::uint64_t low, std::uint64_t high,
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
    std::vector<std::uint32_t> texts_begin_;
    std::vector<std::uint64_t> compared_;  // by phrase: the places that reporting a match compares, as bits
    std::vector<std::int32_t> texts_;
    // What the scans of this automaton write, kept per thread from call to call (see `scratch`): the recent
    // word look-ups and reports. Nothing in the automaton itself changes after `build`, so that one automaton serves every
    // thread.
    // A match recently reported at a node, by its raw text: a text repeats a few raw texts (a phrase in the case
    // the text writes it), and a compare of the raw text costs far less than lowering it, with the sigma rule.
    // A raw text reports the same phrase wherever it stands, except through its capital sigmas whose lower case
    // hangs on the characters around the match: an entry holds only while those lower as they did.
    struct Reported {
        static constexpr std::size_t kBytes = 104;  // longer matches are compared afresh each time
        std::int32_t node = -1;  // -1: an empty entry
        std::int32_t phrase = -1;
        std::uint16_t length = 0;  // in characters
        std::uint16_t width = 0;   // of a character of the raw text, in bytes
        std::uint64_t sigmas = 0;  // the capital sigmas that hang on the context, as bits by place
        std::uint64_t finals = 0;  // those of them that lowered to the final form
        unsigned char raw[kBytes] = {};
    };
    struct Scratch {
        std::uint64_t serial = 0;  // the automaton's `serial_`; 0 for none
        std::uint64_t used = 0;    // when it was last used, for giving way to another automaton's
        std::vector<WordStep> words = std::vector<WordStep>(1);  // one entry that matches nothing until sized
        std::size_t word_mask = 0;
        std::vector<Reported> reported;  // pairs by a hash of the node, the newer first; empty until first used
    };
    // The calling thread's scratch for this automaton: a few automata's at once, the least recently used giving
    // way.
    Scratch &scratch() const;
    std::uint64_t serial_ = 0;  // unique to this automaton in the process
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
