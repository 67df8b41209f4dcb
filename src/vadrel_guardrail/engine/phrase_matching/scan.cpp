// Scanning a text with a `PhraseAutomaton`: the trie walks, the word look-ups, the block scans over word starts
// or every boundary, and the telling of matches back as phrases.
#include <algorithm>
#include <climits>
#include <cstring>

#include "vadrel_guardrail/engine/phrase_matching/ascii_block.hpp"
#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"
#include "vadrel_guardrail/engine/phrase_matching/word_filter.hpp"

namespace vadrel_guardrail::phrase_matching {

template <typename CharT>
inline std::uint32_t PhraseAutomaton::class_of(CharT c) const {
    // Without a branch for the narrower widths: absent pages read the shared page of class 0.
    if constexpr (sizeof(CharT) == 1) {
        return latin1_class_[c];
    } else if constexpr (sizeof(CharT) == 2) {
        return bmp_class_.empty() ? pages_[page_of_[c >> 8] + (c & 0xFFu)] : bmp_class_[c];
    } else {
        if (c < kBmp) {
            return bmp_class_.empty() ? pages_[page_of_[c >> 8] + (c & 0xFFu)] : bmp_class_[c];
        }
        auto found = class_of_key_.find(rules_->key(c));
        return found == class_of_key_.end() ? 0 : found->second;
    }
}

template <typename CharT>
Py_ssize_t PhraseAutomaton::match_at(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::int32_t &best_node) const {
    // At a word start: the end of the match with the smallest list index that ends on a boundary, or -1.
    // Until a phrase ends, only the transitions are read.
    std::int32_t node = 0;
    Py_ssize_t j = i;
    for (;;) {
        if (j == length) {
            return -1;
        }
        std::int32_t child = step(node, class_of(text[j]));
        if (child < 0) {
            walked_ += static_cast<std::size_t>(j - i);
            return -1;
        }
        ++j;
        node = child & ~kEnds;
        if (child & kEnds) {
            break;
        }
    }
    walked_ += static_cast<std::size_t>(j - i);
    return finish_match(text, length, node, j, best_node);
}

// A word of the text that starts at `j` inside a walk, at `node`, taken whole in one look-up (a match cannot end
// inside it): 1 with `node` and `j` moved past it, 0 when no phrase goes on through it, -1 when it is to be
// walked (too long, or too near the end of the text for its key).
template <typename CharT>
int PhraseAutomaton::jump_inside(const CharT *text, Py_ssize_t length, std::int32_t &node, Py_ssize_t &j) const {
    const CaseRules &rules = *rules_;
    if (j + kJumpWord > length) {
        return -1;
    }
    Py_ssize_t stop = j;
    while (stop < length && stop - j <= kJumpWord && rules.word(static_cast<std::uint32_t>(text[stop]))) {
        ++stop;
    }
    std::uint32_t word_length = static_cast<std::uint32_t>(stop - j);
    std::uint64_t low, high;
    if (!word_key(text, length, j, word_length, low, high)) {
        return -1;
    }
    std::uint64_t hash = jump_hash(low, high, word_length) ^ jump_from_mix(node);
    std::uint16_t tag = jump_tag(hash);
    for (std::size_t slot = hash & jump_mask_;; slot = (slot + 1) & jump_mask_) {
        std::uint16_t seen = jump_tags_[slot];
        if (seen == 0) {
            return 0;
        }
        const Jump &jump = jumps_[slot];
        if (seen == tag && jump.from == node && jump.length == word_length && jump.low == low && jump.high == high) {
            if (stop + 2 < length) {
                std::uint32_t bit =
                    follow_bit(class_of(text[stop]), class_of(text[stop + 1]), class_of(text[stop + 2]));
                if (((jump.follows[bit >> 6] >> (bit & 63)) & 1u) == 0) {
                    return 0;
                }
            }
            node = jump.node;
            j = stop;
            return 1;
        }
    }
}

// From `node`, reached at `j` with no match yet: the end of the best match, or -1.
template <typename CharT>
Py_ssize_t PhraseAutomaton::finish_match(const CharT *text, Py_ssize_t length, std::int32_t node, Py_ssize_t j,
                                         std::int32_t &best_node) const {
    const CaseRules &rules = *rules_;
    const Node *nodes = nodes_.data();
    std::int32_t best = INT_MAX;
    Py_ssize_t best_end = -1;
    // A node is read only where a phrase ends, and for pruning once a match is in hand.
    bool ends = nodes[node].terminal >= 0;
    const Py_ssize_t from = j;
    for (;;) {
        if (ends) {
            std::int32_t terminal = nodes[node].terminal;
            if (terminal < best && rules.word(static_cast<std::uint32_t>(text[j - 1])) !=
                                       (j < length && rules.word(static_cast<std::uint32_t>(text[j])))) {
                best = terminal;
                best_end = j;
                best_node = node;
            }
        }
        if (j == length) {
            break;
        }
        // A word that starts inside the walk is looked up whole where the trie is busy.
        if (use_jumps_ && !rules.word(static_cast<std::uint32_t>(text[j - 1])) &&
            rules.word(static_cast<std::uint32_t>(text[j]))) {
            std::int32_t landed = node;
            Py_ssize_t after = j;
            int jumped = jump_inside(text, length, landed, after);
            if (jumped == 0 || (jumped > 0 && best != INT_MAX && nodes[landed].subtree_min >= best)) {
                break;
            }
            if (jumped > 0) {
                node = landed;
                ends = nodes[node].terminal >= 0;
                j = after;
                continue;
            }
        }
        std::int32_t child = step(node, class_of(text[j]));
        if (child < 0 || (best != INT_MAX && nodes[child & ~kEnds].subtree_min >= best)) {
            break;
        }
        node = child & ~kEnds;
        ends = (child & kEnds) != 0;
        ++j;
    }
    walked_ += static_cast<std::size_t>(j - from);
    return best_end;
}

// `match_at` for busy tries: the whole word at `i` in one look-up. A match cannot end inside a word (no
// boundary there), so it passes the node that the word leads to, and that node is a word end.
template <typename CharT>
bool PhraseAutomaton::word_key(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint32_t word_length,
                               std::uint64_t &low, std::uint64_t &high) const {
    // With the word's length known (from the scan's bits), 16 characters are read without a branch each and
    // the rest masked off; a class 0 (in no phrase) then finds no entry.
    if (word_length == 0 || word_length > kJumpWord || i + kJumpWord > length) {
        return false;
    }
    low = high = 0;
    if (!ascii_word_classes(text + i, low, high)) {
        for (int k = 0; k < 8; ++k) {
            low |= static_cast<std::uint64_t>(class_of(text[i + k]) & 0xFFu) << (8 * k);
            high |= static_cast<std::uint64_t>(class_of(text[i + 8 + k]) & 0xFFu) << (8 * k);
        }
    }
    mask_key(word_length, low, high);
    return true;
}

template <typename CharT>
Py_ssize_t PhraseAutomaton::match_by_word(const CharT *text, Py_ssize_t length, Py_ssize_t i,
                                          std::uint32_t word_length, std::int32_t &best_node) const {
    // The word's classes, a byte each.
    std::uint64_t low = 0, high = 0;
    if (!word_key(text, length, i, word_length, low, high)) {
        if (word_length > kJumpWord) {
            return match_at(text, length, i, best_node);
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
            return match_at(text, length, i, best_node);
        }
        word_length = static_cast<std::uint32_t>(j - i);
        std::memcpy(&low, classes, 8);
        std::memcpy(&high, classes + 8, 8);
    }
    return match_word(text, length, i, word_length, low, high, jump_hash(low, high, word_length), best_node);
}

template <typename CharT>
Py_ssize_t PhraseAutomaton::match_word(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint32_t word_length,
                                       std::uint64_t low, std::uint64_t high, std::uint64_t hash,
                                       std::int32_t &best_node) const {
    Py_ssize_t j = i + word_length;
    std::uint16_t tag = jump_tag(hash);
    for (std::size_t slot = hash & jump_mask_;; slot = (slot + 1) & jump_mask_) {
        std::uint16_t seen = jump_tags_[slot];
        if (seen == 0) {
            return -1;
        }
        if (seen != tag) {
            continue;
        }
        const Jump &jump = jumps_[slot];
        if (jump.length == word_length && jump.low == low && jump.high == high && jump.from == 0) {
            if (j + 2 < length) {
                std::uint32_t bit = follow_bit(class_of(text[j]), class_of(text[j + 1]), class_of(text[j + 2]));
                if (((jump.follows[bit >> 6] >> (bit & 63)) & 1u) == 0) {
                    return -1;  // no phrase goes on with these three characters
                }
            }
            return finish_match(text, length, jump.node, j, best_node);
        }
    }
}

// The word bits of the 64 characters at `i` (by arithmetic when all are ASCII, else by table); with
// `classes`, the classes of those characters and of the 16 after them, a byte each; in `openings`, the
// non-word characters that can open a phrase (never ASCII ones). False when lowering and some character
// changes when lowered.
template <bool kLowering, typename CharT>
[[gnu::always_inline]] inline bool PhraseAutomaton::classify_block(const CharT *text, Py_ssize_t i, std::uint8_t *classes,
                                                                   std::uint64_t &bits, std::uint64_t &openings) const {
    bits = 0;
    openings = 0;
    for (int block = 0; block < 64; block += 16) {
        std::uint32_t part;
        if (!(classes ? ascii_class_block(text + i + block, classes + block, part)
                      : ascii_word_bits(text + i + block, part))) {
            part = 0;
            const CharT *chars = text + i + block;
            bool in_table = !bmp_scan_.empty();
            if constexpr (sizeof(CharT) == 4) {
                std::uint32_t any = 0;  // code points stop at 0x10FFFF: all are in the plane when this is
                for (int k = 0; k < 16; ++k) {
                    any |= chars[k];
                }
                in_table = in_table && any < kBmp;
            }
            {
                if (in_table) {
                    // One load per character, and no branch.
                    const std::uint16_t *table = bmp_scan_.data();
                    std::uint32_t changing = 0, opening = 0;
#if defined(__SSE2__)
                    alignas(16) std::uint16_t entries[16];
                    for (int k = 0; k < 16; ++k) {
                        entries[k] = table[chars[k]];
                    }
                    __m128i a = _mm_load_si128(reinterpret_cast<const __m128i *>(entries));
                    __m128i b = _mm_load_si128(reinterpret_cast<const __m128i *>(entries + 8));
                    __m128i low = _mm_set1_epi16(0xFF);
                    if (classes) {
                        _mm_storeu_si128(reinterpret_cast<__m128i *>(classes + block),
                                         _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
                    }
                    __m128i high = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
                    auto lanes = [&](int bit) {
                        __m128i mask = _mm_set1_epi8(static_cast<char>(bit));
                        return static_cast<std::uint32_t>(
                            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(high, mask), mask)));
                    };
                    part = lanes(kWord);
                    opening = lanes(kOpening >> 8);
                    changing = kLowering ? lanes(kChangesWhenLowered) : 0;
#else
                    for (int k = 0; k < 16; ++k) {
                        std::uint32_t e = table[chars[k]];
                        changing |= (e >> 8) & kChangesWhenLowered;
                        part |= ((e >> 8) & kWord) << k;
                        opening |= ((e & kOpening) >> 10) << k;
                        if (classes) {
                            classes[block + k] = static_cast<std::uint8_t>(e);
                        }
                    }
#endif
                    if constexpr (kLowering) {
                        if (changing != 0) {
                            return false;
                        }
                    }
                    bits |= static_cast<std::uint64_t>(part) << block;
                    openings |= static_cast<std::uint64_t>(opening) << block;
                    continue;
                }
            }
            for (int k = 0; k < 16; ++k) {
                std::uint8_t f = rules_->flags(static_cast<std::uint32_t>(text[i + block + k]));
                if constexpr (kLowering) {
                    if (f & kChangesWhenLowered) {
                        return false;
                    }
                }
                part |= static_cast<std::uint32_t>(f & kWord) << k;
                if (classes || nonword_openings_) {
                    std::uint32_t cls = class_of(text[i + block + k]);
                    if (classes) {
                        classes[block + k] = static_cast<std::uint8_t>(cls);
                    }
                    if (nonword_openings_ && !(f & kWord) && nonword_opening_[cls]) {
                        openings |= std::uint64_t{1} << (block + k);
                    }
                }
            }
        }
        bits |= static_cast<std::uint64_t>(part) << block;
    }
    if (classes) {
        std::uint32_t unused;
        if (!ascii_class_block(text + i + 64, classes + 64, unused)) {
            for (int k = 64; k < 80; ++k) {
                classes[k] = static_cast<std::uint8_t>(class_of(text[i + k]));
            }
        }
    }
    return true;
}

// The offsets of the word starts among `starts` (bits over the 64 characters at `i`) whose first two
// characters can open a phrase, picked without a branch each; all of them when `all`.
template <typename CharT>
[[gnu::always_inline]] inline int PhraseAutomaton::pick_openings(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint64_t starts, bool all,
                                   int *picked) const {
    int count = 0;
    if (all) {
        while (starts != 0) {
            picked[count++] = __builtin_ctzll(starts);
            starts &= starts - 1;
        }
        return count;
    }
    const std::uint64_t *pairs = opening_pairs_.data();
    while (starts != 0) {
        int offset = __builtin_ctzll(starts);
        starts &= starts - 1;
        Py_ssize_t at = i + offset;
        std::uint32_t second = at + 1 < length ? class_of(text[at + 1]) : 0;
        std::uint32_t bit = ((class_of(text[at]) & 0xFFu) << 8) | (second & 0xFFu);
        picked[count] = offset;
        count += static_cast<int>(((pairs[bit >> 6] >> (bit & 63)) & 1u) | (at + 1 == length));
    }
    return count;
}

// The keys of the words at the `count` offsets of `picked` in the block at `i` (word bits `bits`, classes
// `classes` when kept), their slots fetched ahead. Words whose bits in the word filter are clear cannot lead
// to a match and are dropped: `picked` and `keys` keep the others, whose number is returned.
template <typename CharT>
[[gnu::always_inline]] inline int PhraseAutomaton::word_keys(const CharT *text, Py_ssize_t length, Py_ssize_t i, std::uint64_t bits,
                               const std::uint8_t *classes, int *picked, int count, WordKey *keys) const {
    int kept = 0;
    const std::uint64_t *filter = follow_filter_.data();
    for (int k = 0; k < count; ++k) {
        WordKey &key = keys[kept];
        int offset = picked[k];
        std::uint64_t rest = ~(bits >> offset);  // the shift brings in zeros: a non-word end
        int run = rest == 0 ? 64 : __builtin_ctzll(rest);  // all 64 characters one word: 64
        key.length = offset + run == 64 ? 0 : static_cast<std::uint32_t>(run);
        picked[kept] = offset;
        if (classes && key.length != 0 && key.length <= kJumpWord) {
            std::memcpy(&key.low, classes + offset, 8);
            std::memcpy(&key.high, classes + offset + 8, 8);
            mask_key(key.length, key.low, key.high);
            key.ready = true;
            key.hash = jump_hash(key.low, key.high, key.length);
            const std::uint8_t *after = classes + offset + key.length;  // at most 66 here
            if (!filter_passes(filter, follow_shift_, key.hash, follows_key(coarse_class_, after[0], after[1], after[2]))) {
                continue;
            }
        } else {
            key.ready = word_key(text, length, i + offset, key.length, key.low, key.high);
            if (key.ready) {
                key.hash = jump_hash(key.low, key.high, key.length);
                Py_ssize_t j = i + offset + key.length;
                if (j + 2 < length) {
                    std::uint32_t follows = follows_key(coarse_class_, class_of(text[j]), class_of(text[j + 1]),
                                                         class_of(text[j + 2]));
                    if (!filter_passes(filter, follow_shift_, key.hash, follows)) {
                        continue;
                    }
                }
            }
        }
        if (key.ready) {
            __builtin_prefetch(&jump_tags_[key.hash & jump_mask_]);
            __builtin_prefetch(&jumps_[key.hash & jump_mask_]);
        }
        ++kept;
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
    auto candidate = [&](Py_ssize_t at) {
        if (at >= resume) {
            std::int32_t node = 0;
            Py_ssize_t end = use_jumps_ && rules_->word(static_cast<std::uint32_t>(text[at]))
                                 ? match_by_word(text, length, at, 0, node)
                                 : match_at(text, length, at, node);
            tell(at, end, node);
        }
    };

    std::uint64_t prev_word = from > 0 && rules_->word(static_cast<std::uint32_t>(text[from - 1]));
    const std::size_t walked_before = walked_;
    Py_ssize_t i = from;
    for (; i + 64 <= length && i < limit; i += 64) {
        // Walks that read the same characters again and again, many times the text's length (phrases whose
        // words repeat in the text), give way to the scan with failure links, which reads each once.
        constexpr std::size_t kRereads = 8, kWalkedFirst = 4096;
        if (walked_ - walked_before > kRereads * static_cast<std::size_t>(i - from) + kWalkedFirst) {
            return scan_linear<kLowering>(text, length, i, limit, resume, sink);
        }
        // With word look-ups, the classes of the block and of the 16 characters after it (when there are as
        // many) are kept: the words' keys and the characters after them are read from there.
        alignas(16) std::uint8_t block_classes[80];
        const bool keep_classes = use_jumps_ && i + 80 <= length;
        std::uint64_t bits, openings;
        if (!classify_block<kLowering>(text, i, keep_classes ? block_classes : nullptr, bits, openings)) {
            return i;  // some character of the block changes when lowered
        }
        // Word starts, and the non-word characters that open a phrase right after a word.
        std::uint64_t starts = (bits & ~((bits << 1) | prev_word)) | (openings & ((bits << 1) | prev_word));
        prev_word = bits >> 63;
        if (limit - i < 64) {
            starts &= (std::uint64_t{1} << (limit - i)) - 1;
        }
        // With the classes kept, the word filter does better than the opening pairs, and all starts are taken.
        int picked[64];
        int count = pick_openings(text, length, i, starts, keep_classes, picked);
        if (!use_jumps_) {
            for (int k = 0; k < count; ++k) {
                candidate(i + picked[k]);
            }
            continue;
        }
        // Busy tries: the words' keys first, then the look-ups in order.
        WordKey keys[64];
        int kept = word_keys(text, length, i, bits, keep_classes ? block_classes : nullptr, picked, count, keys);
        for (int k = 0; k < kept; ++k) {
            Py_ssize_t at = i + picked[k];
            if (at < resume) {
                continue;
            }
            const WordKey &key = keys[k];
            std::int32_t node = 0;
            Py_ssize_t end = key.ready ? match_word(text, length, at, key.length, key.low, key.high, key.hash, node)
                             : ((bits >> picked[k]) & 1u) ? match_by_word(text, length, at, key.length, node)
                                                          : match_at(text, length, at, node);
            tell(at, end, node);
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
Py_ssize_t PhraseAutomaton::scan_linear(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                                        Py_ssize_t &resume, MatchSink &sink) const {
    // One state per place: the node of the longest end of the text so far that is a path from the root. The
    // phrases that end at a place are that node's and those down its output links; at each word start the one
    // of smallest list index that ends on a boundary is kept, until no phrase that starts there can still end.
    const CaseRules &rules = *rules_;
    auto word = [&](Py_ssize_t j) { return rules.word(static_cast<std::uint32_t>(text[j])); };
    std::size_t span = 1;
    while (span < static_cast<std::size_t>(longest_) + 2) {
        span *= 2;
    }
    const std::size_t mask = span - 1;
    std::vector<std::int32_t> best(span, -1);  // by start, modulo `span`
    Py_ssize_t settled = from;  // the starts before it are told
    auto settle = [&](Py_ssize_t until) {
        for (; settled < until; ++settled) {
            std::int32_t &slot = best[static_cast<std::size_t>(settled) & mask];
            if (slot >= 0 && settled >= resume) {
                resume = settled + depth_[slot];
                sink.match(settled, resume, slot);
            }
            slot = -1;
        }
    };
    const Py_ssize_t stop = limit < length ? std::min(length, limit + longest_ + 1) : length;
    // The transitions met, cached by state and class, with the first node down the output links (or the
    // state itself) where a phrase ends: a repetitive text goes round a few of them.
    struct Transition {
        std::int32_t state = -1;
        std::uint32_t cls = 0;
        std::int32_t next = 0;
        std::int32_t ends = -1;
    };
    constexpr std::size_t kCached = 4096;
    std::vector<Transition> cache(kCached);
    std::int32_t state = 0, ends = -1;
    std::uint8_t flags = from < length ? rules.flags(static_cast<std::uint32_t>(text[from])) : 0;
    for (Py_ssize_t j = from; j < stop; ++j) {
        if constexpr (kLowering) {
            if (flags & kChangesWhenLowered) {
                return settled;
            }
        }
        std::uint32_t cls = class_of(text[j]);
        Transition &cached = cache[(static_cast<std::size_t>(state) * 131 + cls) & (kCached - 1)];
        if (cached.state == state && cached.cls == cls) {
            state = cached.next;
            ends = cached.ends;
        } else {
            cached.state = state;
            cached.cls = cls;
            std::int32_t next;
            while ((next = step(state, cls)) < 0 && state != 0) {
                state = fail_[state];
            }
            state = next < 0 ? 0 : next & ~kEnds;
            ends = nodes_[state].terminal >= 0 ? state : output_[state];
            cached.next = state;
            cached.ends = ends;
        }
        Py_ssize_t end = j + 1;
        std::uint8_t next_flags = end < length ? rules.flags(static_cast<std::uint32_t>(text[end])) : 0;
        bool boundary = ((flags ^ next_flags) & kWord) != 0;
        flags = next_flags;
        if (boundary) {
            for (std::int32_t w = ends; w >= 0; w = output_[w]) {
                Py_ssize_t start = end - depth_[w];
                if (start >= from && start < limit && (start > 0 && word(start - 1)) != word(start)) {
                    std::int32_t &slot = best[static_cast<std::size_t>(start) & mask];
                    if (slot < 0 || nodes_[w].terminal < nodes_[slot].terminal) {
                        slot = w;
                    }
                }
            }
        }
        // The text up to `end` is read: no phrase that starts `longest_` before it can still end.
        settle(end - longest_);
    }
    settle(std::min(limit, length));
    return length;
}

template <bool kLowering, typename CharT>
Py_ssize_t PhraseAutomaton::scan_everywhere(const CharT *text, Py_ssize_t length, Py_ssize_t from, Py_ssize_t limit,
                                            Py_ssize_t &resume, MatchSink &sink) const {
    const CaseRules &rules = *rules_;
    Py_ssize_t stop = length;
    if constexpr (kLowering) {
        // This scan reads ahead of its candidates and jumps over the inside of matches, so characters are
        // checked beforehand, and candidates that could read the first one that changes are left.
        for (Py_ssize_t i = from; i < length; ++i) {
            if (rules.flags(static_cast<std::uint32_t>(text[i])) & kChangesWhenLowered) {
                stop = limit = std::max(from, i - reach_);
                break;
            }
        }
    }
    const Node *nodes = nodes_.data();
    const std::int32_t empty_phrase = nodes[0].terminal;
    auto word = [&](CharT c) -> bool { return rules.word(static_cast<std::uint32_t>(c)); };

    // `findall`: after an empty match the next search starts at the same place but may not match empty there.
    Py_ssize_t no_empty_at = -1;
    Py_ssize_t i = std::max(from, resume);
    bool prev_word = i > 0 && word(text[i - 1]);  // whether the character before position i is a word character
    for (;;) {
        // Matches start only at word boundaries, where the word flag changes; skip to the next one.
        while (i < length && word(text[i]) == prev_word) {
            ++i;
        }
        if ((i >= limit && limit < length) || (i == length && !prev_word)) {
            return stop;  // no boundary at the end of a text that ends with a non-word character
        }
        // The smallest list index among the phrases that match here and end on a boundary wins.
        std::int32_t best = INT_MAX;
        Py_ssize_t best_end = -1;
        std::int32_t best_node = 0;
        if (empty_phrase >= 0 && i != no_empty_at) {
            best = empty_phrase;
            best_end = i;
        }
        std::int32_t node = 0;
        for (Py_ssize_t j = i; j < length;) {
            std::int32_t child = step(node, class_of(text[j]));
            if (child < 0 || nodes[child & ~kEnds].subtree_min >= best) {
                break;
            }
            node = child & ~kEnds;
            ++j;
            std::int32_t terminal = nodes[node].terminal;
            if (terminal >= 0 && terminal < best && word(text[j - 1]) != (j < length && word(text[j]))) {
                best = terminal;
                best_end = j;
                best_node = node;
            }
        }
        if (best_end == i) {
            sink.match(i, i, 0);
            no_empty_at = i;  // search again here, for a non-empty match only
            continue;
        }
        if (best_end > i) {
            sink.match(i, best_end, best_node);
            resume = i = best_end;
            prev_word = word(text[i - 1]);
            continue;
        }
        if (i == length) {
            return stop;
        }
        prev_word = !prev_word;  // a boundary: the character at i has the other flag
        ++i;
    }
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

// For the prefilter's scans near the words that it finds.
template Py_ssize_t PhraseAutomaton::scan_word_starts<false>(const Py_UCS1 *, Py_ssize_t, Py_ssize_t, Py_ssize_t,
                                                             Py_ssize_t &, MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_word_starts<false>(const Py_UCS2 *, Py_ssize_t, Py_ssize_t, Py_ssize_t,
                                                             Py_ssize_t &, MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_word_starts<false>(const Py_UCS4 *, Py_ssize_t, Py_ssize_t, Py_ssize_t,
                                                             Py_ssize_t &, MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_word_starts<true>(const Py_UCS1 *, Py_ssize_t, Py_ssize_t, Py_ssize_t,
                                                            Py_ssize_t &, MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_word_starts<true>(const Py_UCS2 *, Py_ssize_t, Py_ssize_t, Py_ssize_t,
                                                            Py_ssize_t &, MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan_word_starts<true>(const Py_UCS4 *, Py_ssize_t, Py_ssize_t, Py_ssize_t,
                                                            Py_ssize_t &, MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan<false>(const Py_UCS1 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                 MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan<false>(const Py_UCS2 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                 MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan<false>(const Py_UCS4 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                 MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan<true>(const Py_UCS1 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan<true>(const Py_UCS2 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                MatchSink &) const;
template Py_ssize_t PhraseAutomaton::scan<true>(const Py_UCS4 *, Py_ssize_t, Py_ssize_t, Py_ssize_t, Py_ssize_t &,
                                                MatchSink &) const;

}  // namespace vadrel_guardrail::phrase_matching
