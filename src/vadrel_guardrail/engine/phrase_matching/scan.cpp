// The choice of scan, the scan over word starts (64 characters at a step), its walks and word look-ups.
#include <algorithm>
#include <climits>
#include <cstring>

#include "vadrel_guardrail/engine/phrase_matching/ascii_block.hpp"
#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/block_windows.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"
#include "vadrel_guardrail/engine/phrase_matching/word_filter.hpp"

namespace vadrel_guardrail::phrase_matching {

#if defined(__SSE2__)
// The entries of the 16 characters at `text` in a table of the plane (one load each), split into their low
// bytes and their high bytes, a byte per character.
template <typename CharT>
[[gnu::always_inline]] inline void plane_entries_16(const std::uint16_t *table, const CharT *text, __m128i &low_bytes,
                                                    __m128i &high_bytes) {
    alignas(16) std::uint16_t entries[16];
    for (int k = 0; k < 16; ++k) {
        entries[k] = table[text[k]];
    }
    __m128i a = _mm_load_si128(reinterpret_cast<const __m128i *>(entries));
    __m128i b = _mm_load_si128(reinterpret_cast<const __m128i *>(entries + 8));
    __m128i low = _mm_set1_epi16(0xFF);
    low_bytes = _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
    high_bytes = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
}

// The lanes of `bytes` that hold every bit of `bits`, as bits.
inline std::uint32_t lanes_with(__m128i bytes, int bits) {
    __m128i mask = _mm_set1_epi8(static_cast<char>(bits));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(bytes, mask), mask)));
}
#endif

// The step of the word `low`, `high`, `length` from `from` (node -1: no phrase goes on), good until the next
// look-up. A text's words repeat, and each answer of the large, sparse jump table is a wait on memory: the
// scratch keeps recent answers, the misses too.
inline const WordStep &PhraseAutomaton::cached_jump(Scratch &scratch, std::uint64_t hash, std::uint64_t low,
                                                    std::uint64_t high, std::uint32_t length,
                                                    std::int32_t from) const {
    WordStep &entry = scratch.words[((hash >> kWordCacheShift) ^ scratch.mix) & scratch.word_mask];
    const std::uint64_t who = (serial_ << 32) | static_cast<std::uint32_t>(from);
    if (entry.who == who && entry.length == length && entry.low == low && entry.high == high) {
        return entry;
    }
    return fill_word_cache(entry, who, hash, low, high, length);
}

// Whether a phrase can go on from a word with `follows` with these classes of the three characters after it.
inline bool step_follows(const std::uint64_t *follows, std::uint32_t first, std::uint32_t second,
                         std::uint32_t third) {
    return bit_in(follows, follow_bit(first, second, third) & 127) != 0;
}

template <bool kLowering, typename CharT>
[[gnu::always_inline]] inline bool PhraseAutomaton::classify_block_by_windows(const CharT *text, Py_ssize_t reach,
                                                                              Py_ssize_t i, WindowCarry &carry,
                                                                              std::uint8_t *classes,
                                                                              std::uint64_t &bits,
                                                                              std::uint64_t &openings,
                                                                              std::uint32_t &tail) const {
    if constexpr (sizeof(CharT) == 2) {
        // A block that starts with 16 ASCII characters is left to the table path's arithmetic, cheaper there (text
        // mostly ASCII, stored in two bytes for a few characters), unless this path has read it already.
        WindowBlock block;
        std::uint32_t unused;
        if (!window_flags_.empty() && (carry.at == i || !ascii_class_block(text + i, nullptr, unused)) &&
            classify_window_block(bmp_class_.data(), window_flags_.data(), text, i, reach, classes, carry, block)) {
            bool done = !kLowering || block.flags.changing == 0;
            bits = block.flags.word;
            openings = block.flags.opening;
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

template <typename CharT>
Py_ssize_t PhraseAutomaton::match_at(const CharT *text, Py_ssize_t length, Py_ssize_t i, Walk &walk) const {
    // From a start: the end of the match with the smallest list index that ends on a boundary, or -1.
    // Until a phrase ends, only the transitions are read.
    std::int32_t node = 0;
    Py_ssize_t j = i;
    for (;;) {
        if (j == length) {
            return -1;
        }
        std::int32_t child = step(node, class_of(text[j]));
        if (child < 0) {
            walk.read += static_cast<std::size_t>(j - i);
            return -1;
        }
        ++j;
        node = child & ~kEnds;
        if (child & kEnds) {
            break;
        }
    }
    walk.read += static_cast<std::size_t>(j - i);
    return finish_match(text, length, node, j, walk);
}

// The classes of the 16 characters at `text` (into `classes` when given) and their word characters as bits: by
// arithmetic when all are ASCII, else a table load each, which also gives the non-word characters that open a
// phrase and those that change when lowered. False beyond the plane, or when classes do not fit a byte.
template <typename CharT>
[[gnu::always_inline]] inline bool PhraseAutomaton::classes_of_16(const CharT *text, std::uint8_t *classes,
                                                                  std::uint32_t &word, std::uint32_t &opening,
                                                                  std::uint32_t &changing) const {
    opening = changing = 0;
    if (ascii_class_block(text, classes, word)) {
        return true;
    }
    if (bmp_scan_.empty()) {
        return false;
    }
    if constexpr (sizeof(CharT) == 4) {
        std::uint32_t any = 0;  // code points stop at 0x10FFFF: all are in the plane when this is
        for (int k = 0; k < 16; ++k) {
            any |= text[k];
        }
        if (any >= kBmp) {
            return false;
        }
    }
    const std::uint16_t *table = bmp_scan_.data();
#if defined(__SSE2__)
    __m128i class_bytes, flag_bytes;
    plane_entries_16(table, text, class_bytes, flag_bytes);
    if (classes) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(classes), class_bytes);
    }
    word = lanes_with(flag_bytes, kWord);
    opening = lanes_with(flag_bytes, kOpening >> 8);
    changing = lanes_with(flag_bytes, kChangesWhenLowered);
#else
    word = 0;
    for (int k = 0; k < 16; ++k) {
        std::uint32_t e = table[text[k]];
        if (classes) {
            classes[k] = static_cast<std::uint8_t>(e);
        }
        word |= ((e >> 8) & kWord) << k;
        opening |= ((e & kOpening) >> 10) << k;
        changing |= (((e >> 8) & kChangesWhenLowered) >> 1) << k;
    }
#endif
    return true;
}

template <typename CharT>
[[gnu::always_inline]] inline bool PhraseAutomaton::classes_of_16(const CharT *text, std::uint8_t *classes,
                                                                  std::uint32_t &word) const {
    std::uint32_t opening, changing;
    return classes_of_16(text, classes, word, opening, changing);
}

// A word that starts at `j` inside a walk at `node`, taken whole in one look-up (a match cannot end inside it):
// 1 with `landed` its step and `j` past it, 0 when no phrase goes on through it, -1 when it is to be walked (too
// long, or too near the text's end for its key). Inlined into the walk: it runs for most words of a text.
template <typename CharT>
[[gnu::always_inline]] inline int PhraseAutomaton::jump_inside(const CharT *text, Py_ssize_t length,
                                                               std::int32_t node, Py_ssize_t &j,
                                                               const WordStep *&landed,
                                                               const BlockKeys *block, Scratch &scratch) const {
    std::uint64_t low, high;
    std::uint32_t word_length;
    std::uint64_t hash;
    if (Py_ssize_t offset = block ? j - block->at : -1; offset >= 0 && offset < 64 && ((block->ready >> offset) & 1u)) {
        // The block scan has the word's key already.
        const WordKey &key = block->keys[offset];
        low = key.low;
        high = key.high;
        word_length = key.length;
        hash = key.hash;
    } else if (word_length = 0; !word_key(text, length, j, word_length, low, high)) {
        return -1;
    } else {
        hash = jump_hash(low, high, word_length);
    }
    Py_ssize_t stop = j + word_length;
    hash ^= jump_from_mix(node);
    if (!bit_in(pair_filter_.data(), pair_bit(hash))) {
        return 0;
    }
    const WordStep &step = cached_jump(scratch, hash, low, high, word_length, node);
    if (step.node < 0 || (stop + 2 < length && !step_follows(step.follows, class_of(text[stop]),
                                                             class_of(text[stop + 1]), class_of(text[stop + 2])))) {
        return 0;
    }
    landed = &step;
    j = stop;
    return 1;
}

// From `node`, reached at `j` with no match yet (by the word step `landed`, when there is one): the end of the
// best match, or -1. `block`, when given, holds the keys of the words that start in a block of the text.
template <typename CharT>
Py_ssize_t PhraseAutomaton::finish_match(const CharT *text, Py_ssize_t length, std::int32_t node, Py_ssize_t j,
                                         Walk &walk, const WordStep *landed,
                                         const BlockKeys *block) const {
    const CaseRules &rules = *rules_;
    const Node *nodes = nodes_.data();
    std::int32_t best = INT_MAX;
    Py_ssize_t best_end = -1;
    // A node is read only where a phrase ends, and for pruning once a match is in hand; after a word step,
    // not even then: the step holds the node's terminal and one of its edges.
    constexpr std::int32_t kUnread = INT_MIN;
    std::int32_t terminal = landed ? landed->terminal : nodes[node].terminal;
    bool ends = terminal >= 0;
    const Py_ssize_t from = j;
    for (;;) {
        if (ends) {
            if (terminal == kUnread) {
                terminal = nodes[node].terminal;
            }
            if (terminal < best && rules.word(static_cast<std::uint32_t>(text[j - 1])) !=
                                       (j < length && rules.word(static_cast<std::uint32_t>(text[j])))) {
                best = terminal;
                best_end = j;
                walk.node = node;
            }
        }
        if (j == length) {
            break;
        }
        // A word that starts inside the walk is looked up whole where the trie is busy.
        if (use_jumps_ && !rules.word(static_cast<std::uint32_t>(text[j - 1])) &&
            rules.word(static_cast<std::uint32_t>(text[j]))) {
            Py_ssize_t after = j;
            int jumped = jump_inside(text, length, node, after, landed, block, *walk.scratch);
            if (jumped == 0 || (jumped > 0 && best != INT_MAX && landed->subtree_min >= best)) {
                break;
            }
            if (jumped > 0) {
                node = landed->node;
                terminal = landed->terminal;
                ends = terminal >= 0;
                j = after;
                continue;
            }
        }
        std::uint32_t cls = class_of(text[j]);
        std::int32_t child;
        std::int32_t child_min;  // the child's subtree_min, read only once a match is in hand
        if (landed && landed->edge_class == cls) {
            child = landed->edge_child;
            child_min = landed->edge_subtree_min;
        } else {
            child = step(node, cls);
            child_min = INT_MIN;
        }
        landed = nullptr;
        if (child < 0 || (best != INT_MAX &&
                          (child_min != INT_MIN ? child_min : nodes[child & ~kEnds].subtree_min) >= best)) {
            break;
        }
        node = child & ~kEnds;
        ends = (child & kEnds) != 0;
        terminal = kUnread;
        ++j;
    }
    walk.read += static_cast<std::size_t>(j - from);
    return best_end;
}

// The key of the word at `i` (its classes, a byte each, zero beyond its length), and its length when
// `word_length` is 0; false when it is to be walked (too long, or too near the text's end for its key). 16
// characters are read without a branch each and the rest masked off (a class 0 then finds no entry).
template <typename CharT>
bool PhraseAutomaton::word_key(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint32_t &word_length,
                               std::uint64_t &low, std::uint64_t &high) const {
    if (word_length > kJumpWord || i + kJumpWord > length) {
        return false;
    }
    low = high = 0;
    alignas(16) std::uint8_t classes[kJumpWord];
    std::uint32_t word;
    if (classes_of_16(text + i, classes, word)) {
        if (word_length == 0) {
            auto run = static_cast<std::uint32_t>(__builtin_ctz(~word));  // 16 when all are
            if (run == 0 || (run == kJumpWord && i + kJumpWord < length &&
                             rules_->word(static_cast<std::uint32_t>(text[i + kJumpWord])))) {
                return false;
            }
            word_length = run;
        }
        std::memcpy(&low, classes, 8);
        std::memcpy(&high, classes + 8, 8);
    } else if (word_length == 0) {
        return false;
    } else {
        for (int k = 0; k < 8; ++k) {
            low |= static_cast<std::uint64_t>(class_of(text[i + k]) & 0xFFu) << (8 * k);
            high |= static_cast<std::uint64_t>(class_of(text[i + 8 + k]) & 0xFFu) << (8 * k);
        }
    }
    mask_key(word_length, low, high);
    return true;
}

// `match_at` for busy tries: the whole word at `i` in one look-up (a match cannot end inside a word).
template <typename CharT>
Py_ssize_t PhraseAutomaton::match_by_word(const CharT *text, Py_ssize_t length, Py_ssize_t i,
                                          std::uint32_t word_length, Walk &walk) const {
    // The word's classes, a byte each.
    std::uint64_t low = 0, high = 0;
    // A word whose length the scan does not know (near the text's end, mostly) is read a character at a time.
    if (word_length == 0 || !word_key(text, length, i, word_length, low, high)) {
        if (word_length > kJumpWord) {
            return match_at(text, length, i, walk);
        }
        const CaseRules &rules = *rules_;
        std::uint8_t classes[kJumpWord] = {};
        Py_ssize_t limit = std::min(length, i + kJumpWord);
        Py_ssize_t j = i;
        for (; j < limit && rules.word(static_cast<std::uint32_t>(text[j])); ++j) {
            std::uint32_t cls = class_of(text[j]);
            if (cls == 0) {
                return -1;  // in no phrase
            }
            classes[j - i] = static_cast<std::uint8_t>(cls);
        }
        if (j == limit && j < length && rules.word(static_cast<std::uint32_t>(text[j]))) {
            return match_at(text, length, i, walk);
        }
        word_length = static_cast<std::uint32_t>(j - i);
        std::memcpy(&low, classes, 8);
        std::memcpy(&high, classes + 8, 8);
    }
    return match_word(text, length, i, word_length, low, high, jump_hash(low, high, word_length), walk);
}

template <typename CharT>
Py_ssize_t PhraseAutomaton::match_word(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint32_t word_length,
                                       std::uint64_t low, std::uint64_t high, std::uint64_t hash,
                                       Walk &walk, const BlockKeys *block) const {
    Py_ssize_t j = i + word_length;
    const WordStep &step = cached_jump(*walk.scratch, hash, low, high, word_length, 0);
    if (step.node < 0 || (j + 2 < length && !step_follows(step.follows, class_of(text[j]), class_of(text[j + 1]),
                                                          class_of(text[j + 2])))) {
        return -1;  // no phrase goes on with the word, or with these three characters after it
    }
    return finish_match(text, length, step.node, j, walk, &step, block);
}

// The word bits of the 64 characters at `i`; with `classes`, their classes and those of the 16 after them, and in
// `tail` the word bits of those 16 (all set when unknown); in `openings`, the non-word characters that can open a
// phrase (never ASCII ones). False when lowering and some character of the 64 changes when lowered.
template <bool kLowering, typename CharT>
[[gnu::always_inline]] inline bool PhraseAutomaton::classify_block(const CharT *text, Py_ssize_t i, std::uint8_t *classes,
                                                                   std::uint64_t &bits, std::uint64_t &openings,
                                                                   std::uint32_t &tail) const {
    bits = 0;
    tail = 0xFFFF;
    openings = 0;
    for (int block = 0; block < 64; block += 16) {
        const CharT *chars = text + i + block;
        std::uint32_t part, opening, changing;
        if (!classes_of_16(chars, classes ? classes + block : nullptr, part, opening, changing)) {
            part = opening = changing = 0;
            for (int k = 0; k < 16; ++k) {
                std::uint8_t f = rules_->flags(static_cast<std::uint32_t>(chars[k]));
                changing |= f & kChangesWhenLowered;
                part |= static_cast<std::uint32_t>(f & kWord) << k;
                if (classes || nonword_openings_) {
                    std::uint32_t cls = class_of(chars[k]);
                    if (classes) {
                        classes[block + k] = static_cast<std::uint8_t>(cls);
                    }
                    opening |= static_cast<std::uint32_t>(!(f & kWord) && nonword_opening_[cls]) << k;
                }
            }
        }
        if (kLowering && changing != 0) {
            return false;
        }
        bits |= static_cast<std::uint64_t>(part) << block;
        openings |= static_cast<std::uint64_t>(opening) << block;
    }
    if (classes) {
        classify_tail(text, i, classes, tail);
    }
    return true;
}

// The classes of the 16 characters after the block at `i` into `classes` (of 80), and their word bits into `tail`
// (all set when unknown).
template <typename CharT>
[[gnu::always_inline]] inline void PhraseAutomaton::classify_tail(const CharT *text, Py_ssize_t i,
                                                                  std::uint8_t *classes, std::uint32_t &tail) const {
    if (!classes_of_16(text + i + 64, classes + 64, tail)) {
        tail = 0xFFFF;
        for (int k = 64; k < 80; ++k) {
            classes[k] = static_cast<std::uint8_t>(class_of(text[i + k]));
        }
    }
}

// The offsets of the word starts among `starts` (bits over a block of 64 characters) at which `opens` holds,
// picked without a branch each.
template <typename Opens>
[[gnu::always_inline]] inline int pick_starts(std::uint64_t starts, int *picked, Opens &&opens) {
    int count = 0;
    for (; starts != 0; starts &= starts - 1) {
        int offset = __builtin_ctzll(starts);
        picked[count] = offset;
        count += static_cast<int>(opens(offset));
    }
    return count;
}

// Whether the pair of classes (their low bytes) is among `pairs`.
inline std::uint64_t pair_in(const std::uint64_t *pairs, std::uint32_t first, std::uint32_t second) {
    return bit_in(pairs, ((first & 0xFFu) << 8) | (second & 0xFFu));
}

// The keys of the words at the `count` offsets `picked` in the block at `i`, by offset in `keys` (those known in
// `ready`), their slots fetched ahead. Words whose bits in the word filter are clear are dropped: `picked` keeps
// the others, whose number is returned.
template <typename CharT>
[[gnu::always_inline]] inline int PhraseAutomaton::word_keys(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint64_t bits,
                               std::uint32_t tail, const std::uint8_t *classes, int *picked, int count, WordKey *keys,
                               std::uint64_t &ready, const Scratch &scratch) const {
    int kept = 0;
    ready = 0;
    const std::uint64_t *filter = follow_filter_.data();
    for (int k = 0; k < count; ++k) {
        int offset = picked[k];
        WordKey &key = keys[offset];
        // The word bits from the offset on, the tail's after the block's; beyond the tail, zeros.
        std::uint64_t rest = ~((bits >> offset) | ((std::uint64_t{tail} << 1) << (63 - offset)));
        int run = rest == 0 ? 64 : __builtin_ctzll(rest);  // all 64 characters one word: 64
        // Known where the word and the three characters after it lie within the classes kept (80).
        key.length = offset + run + 3 > 80 ? 0 : static_cast<std::uint32_t>(run);
        picked[kept] = offset;
        const bool in_classes = classes && key.length != 0 && key.length <= kJumpWord;
        if (in_classes) {
            std::memcpy(&key.low, classes + offset, 8);
            std::memcpy(&key.high, classes + offset + 8, 8);
            mask_key(key.length, key.low, key.high);
            key.ready = true;
        } else {
            key.ready = key.length != 0 && word_key(text, length, i + offset, key.length, key.low, key.high);
        }
        bool passes = true;
        if (key.ready) {
            ready |= std::uint64_t{1} << offset;
            key.hash = jump_hash(key.low, key.high, key.length);
            // Kept or dropped without a branch: where about half the words pass, a branch would be mispredicted
            // for every other word. The slot is fetched ahead either way (a dropped word's is not needed).
            const Py_ssize_t j = i + offset + key.length;
            if (in_classes) {
                const std::uint8_t *after = classes + offset + key.length;  // at most 77 here
                passes = filter_passes(filter, follow_shift_, key.hash,
                                       follows_key(coarse_class_, after[0], after[1], after[2]));
            } else if (j + 2 < length) {
                passes = filter_passes(filter, follow_shift_, key.hash,
                                       follows_key(coarse_class_, class_of(text[j]), class_of(text[j + 1]),
                                                   class_of(text[j + 2])));
            }
            __builtin_prefetch(&scratch.words[((key.hash >> kWordCacheShift) ^ scratch.mix) & scratch.word_mask]);
        }
        kept += passes;
    }
    return kept;
}

template <bool kLowering, typename CharT>
Py_ssize_t PhraseAutomaton::scan_word_starts(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                                             Py_ssize_t &resume, MatchSink &sink) const {
    // Word starts are found 64 characters at a time and tried in order, skipping any inside the previous
    // match (matches do not overlap).
    auto tell = [&](Py_ssize_t at, Py_ssize_t end, std::int32_t node) {
        if (end > at) {
            resume = end;
            sink.match(at, end, node);
        }
    };
    Walk walk{0, 0, sink.scratch};
    auto candidate = [&](Py_ssize_t at) {
        if (at >= resume) {
            walk.node = 0;
            Py_ssize_t end = use_jumps_ && rules_->word(static_cast<std::uint32_t>(text[at]))
                                 ? match_by_word(text, length, at, 0, walk)
                                 : match_at(text, length, at, walk);
            tell(at, end, walk.node);
        }
    };

    std::uint64_t prev_word = from > 0 && rules_->word(static_cast<std::uint32_t>(text[from - 1]));
    // Whether word starts are picked by their opening pairs (see below), judged over the first blocks.
    constexpr int kProbed = 32;
    bool by_pairs = !block_pairs_.empty();
    int probed = 0;
    std::uint32_t starts_seen = 0, starts_kept = 0;
    WindowCarry carry;  // see `classify_block_by_windows`
    Py_ssize_t i = from;
    for (; i + 64 <= length && i < limit; i += 64) {
        // Walks that read the same characters again and again, many times the text's length (phrases whose
        // words repeat in the text), give way to the scan with failure links, which reads each once.
        constexpr std::size_t kRereads = 8, kWalkedFirst = 4096;
        if (walk.read > kRereads * static_cast<std::size_t>(i - from) + kWalkedFirst) {
            return scan_linear<kLowering>(text, length, i, limit, resume, sink);
        }
        // With word look-ups, the classes of the block and the 16 after it are kept, for the words' keys.
        alignas(16) std::uint8_t block_classes[80];
        const bool keep_classes = use_jumps_ && i + 80 <= length;
        std::uint64_t bits, openings;
        std::uint32_t tail;
        // The path reads the block after this one ahead only where the scan goes on to it.
        if (!classify_block_by_windows<kLowering>(text, std::min(length, limit + 63), i, carry,
                                                  keep_classes ? block_classes : nullptr, bits, openings, tail)) {
            return i;  // some character of the block changes when lowered
        }
        // Word starts, and the non-word characters that open a phrase right after a word.
        std::uint64_t starts = word_starts_of(bits, prev_word) | (openings & ((bits << 1) | prev_word));
        prev_word = bits >> 63;
        if (limit - i < 64) {
            starts &= (std::uint64_t{1} << (limit - i)) - 1;
        }
        // With the classes kept, the word filter does better than the opening pairs, unless few pairs open a
        // phrase: then those pairs come first, for as long as they drop enough words to pay.
        int picked[64];
        int count;
        if (keep_classes && by_pairs) {
            count = pick_starts(starts, picked, [&](int offset) {
                return pair_in(block_pairs_.data(), block_classes[offset], block_classes[offset + 1]);
            });
            if (probed < kProbed) {
                starts_seen += static_cast<std::uint32_t>(__builtin_popcountll(starts));
                starts_kept += static_cast<std::uint32_t>(count);
                by_pairs = ++probed < kProbed || starts_kept * 4 <= starts_seen * 3;
            }
        } else if (keep_classes) {
            count = pick_starts(starts, picked, [](int) { return 1; });
        } else {
            // Those whose first two characters can open a phrase.
            count = pick_starts(starts, picked, [&](int offset) {
                Py_ssize_t at = i + offset;
                std::uint32_t second = at + 1 < length ? class_of(text[at + 1]) : 0;
                return pair_in(opening_pairs_.data(), class_of(text[at]), second) | (at + 1 == length);
            });
        }
        if (!use_jumps_) {
            for (int k = 0; k < count; ++k) {
                candidate(i + picked[k]);
            }
            continue;
        }
        // Busy tries: the words' keys first, then the look-ups in order.
        WordKey keys[64];
        BlockKeys block{i, keys, 0};
        int kept = word_keys(text, length, i, bits, tail, keep_classes ? block_classes : nullptr, picked, count, keys,
                             block.ready, *walk.scratch);
        for (int k = 0; k < kept; ++k) {
            Py_ssize_t at = i + picked[k];
            if (at < resume) {
                continue;
            }
            const WordKey &key = keys[picked[k]];
            walk.node = 0;
            Py_ssize_t end = key.ready ? match_word(text, length, at, key.length, key.low, key.high, key.hash, walk,
                                                    &block)
                             : ((bits >> picked[k]) & 1u) ? match_by_word(text, length, at, key.length, walk)
                                                          : match_at(text, length, at, walk);
            tell(at, end, walk.node);
        }
    }
    for (; i < length && i < limit; ++i) {
        std::uint8_t f = rules_->flags(static_cast<std::uint32_t>(text[i]));
        if constexpr (kLowering) {
            if (f & kChangesWhenLowered) {
                return i;
            }
        }
        std::uint64_t word = f & kWord;
        if (word ? !prev_word : prev_word && nonword_openings_ && nonword_opening_[class_of(text[i])]) {
            candidate(i);
        }
        prev_word = word;
    }
    return length;
}

template <bool kLowering, typename CharT>
Py_ssize_t PhraseAutomaton::scan(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                                 Py_ssize_t &resume, MatchSink &sink) const {
    // `re` sees no word boundary at all in an empty string.
    if (length == 0 || nodes_[0].subtree_min < 0) {
        return length;
    }
    if (word_starts_only_) {
        if (prefilter_) {
            return scan_prefiltered<kLowering>(text, length, from, limit, resume, sink);
        }
        return scan_word_starts<kLowering>(text, length, from, limit, resume, sink);
    }
    return scan_everywhere<kLowering>(text, length, from, limit, resume, sink);
}

// For the prefilter's scans near the words that it finds, and the scan from every boundary.
VADREL_PHRASE_SCAN_INSTANCES(scan_word_starts)
template Py_ssize_t PhraseAutomaton::match_at(const Py_UCS1 *, Py_ssize_t, Py_ssize_t, Walk &) const;
template Py_ssize_t PhraseAutomaton::match_at(const Py_UCS2 *, Py_ssize_t, Py_ssize_t, Walk &) const;
template Py_ssize_t PhraseAutomaton::match_at(const Py_UCS4 *, Py_ssize_t, Py_ssize_t, Walk &) const;
VADREL_PHRASE_SCAN_INSTANCES(scan)

}  // namespace vadrel_guardrail::phrase_matching
