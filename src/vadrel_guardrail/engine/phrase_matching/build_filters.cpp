// Compiling, after the trie (build.cpp): the filters and tables that the scans consult. Each is part of the
// immutable program; none is written by a scan.
#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "vadrel_guardrail/engine/phrase_matching/ascii_block.hpp"
#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"
#include "vadrel_guardrail/engine/phrase_matching/prefilter.hpp"
#include "vadrel_guardrail/engine/phrase_matching/word_filter.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace {

// The text is read as a byte per character: 0 for a character that is not a word character, else the byte of
// its class, which for the ASCII ones is the character folded to lower case, so that 16 of them cost a few
// instructions.

// The byte of the class of an ASCII word character: the character folded to lower case.
inline std::uint32_t ascii_byte(std::uint32_t cls) {
    return cls <= 26 ? 'a' + cls - 1 : cls <= 36 ? '0' + cls - 27 : '_' | 0x20;
}

struct KeyHash {
    std::size_t operator()(const Prefilter::Word &w) const { return jump_hash(w.low, w.high, w.length); }
};
struct KeyEqual {
    bool operator()(const Prefilter::Word &a, const Prefilter::Word &b) const {
        return a.length == b.length && a.low == b.low && a.high == b.high;
    }
};

}  // namespace

// The prefilter's required words: each phrase's, and the bits that let most other words pass by one load.
void PhraseAutomaton::build_prefilter() {
    // The scan reads a byte per character, one per class, and finds words only where matches start at word
    // starts.
    if (!word_starts_only_ || bmp_scan_.empty() || phrases_.empty()) {
        return;
    }
    const CaseRules &rules = *rules_;
    auto filter = std::make_shared<Prefilter>();
    // Each class its own byte: the ASCII word characters' lower case, then the bytes left over in turn (there
    // are as many as classes can be beyond those).
    std::uint32_t spare = 1;
    for (std::uint32_t cls = 1; cls < class_count_; ++cls) {
        if (cls >= kAsciiClasses) {
            while ((spare >= 'a' && spare <= 'z') || (spare >= '0' && spare <= '9') || spare == ('_' | 0x20)) {
                ++spare;  // a lower-case letter, a digit or the folded underscore
            }
        }
        filter->byte_of_class[cls] = static_cast<std::uint8_t>(cls < kAsciiClasses ? ascii_byte(cls) : spare++);
    }
    // A word of a phrase that a match shows as a whole word of the text: its characters match only word
    // characters, and the characters beside it in the phrase (if any) only non-word ones (ASCII ones, which
    // match themselves alone).
    auto separates = [&](char32_t c) { return c < 0x80 && !rules.word(c); };
    struct Candidate {
        Prefilter::Word word;
        std::size_t phrase;
    };
    std::vector<Candidate> candidates;
    std::vector<std::size_t> first_of(phrases_.size() + 1, 0);
    std::unordered_map<Prefilter::Word, std::uint32_t, KeyHash, KeyEqual> holders;  // phrases holding each word
    for (std::size_t index = 0; index < phrases_.size(); ++index) {
        first_of[index] = candidates.size();
        const std::u32string &phrase = phrases_[index];
        std::size_t size = phrase.size();
        for (std::size_t at = 0; at < size;) {
            if (!rules.word(phrase[at])) {
                ++at;
                continue;
            }
            std::size_t end = at;
            bool plain = at == 0 || separates(phrase[at - 1]);
            std::uint8_t bytes[Prefilter::kLongest] = {};
            for (; end < size && rules.word(phrase[end]); ++end) {
                std::uint32_t key = rules.key(phrase[end]);
                plain = plain && end - at < Prefilter::kLongest && !rules.nonword_key(key);
                if (plain) {
                    bytes[end - at] = filter->byte_of_class[class_of_key_.at(key)];
                }
            }
            if (plain && (end == size || separates(phrase[end]))) {
                Prefilter::Word word;
                std::memcpy(&word.low, bytes, 8);
                std::memcpy(&word.high, bytes + 8, 8);
                word.length = static_cast<std::uint32_t>(end - at);
                word.nearest = word.farthest = static_cast<std::int32_t>(at);
                candidates.push_back({word, index});
                ++holders[word];
            }
            at = end;
        }
        if (first_of[index] == candidates.size()) {
            return;  // a phrase without a word to require
        }
    }
    first_of[phrases_.size()] = candidates.size();
    // Each phrase requires the word that the fewest phrases hold, as a guess at the text's rarest: a word that
    // begins many phrases is likely a common one. Then the longer, then the later.
    std::unordered_map<Prefilter::Word, std::pair<std::int32_t, std::int32_t>, KeyHash, KeyEqual> required;
    for (std::size_t index = 0; index < phrases_.size(); ++index) {
        const Candidate *best = nullptr;
        for (std::size_t k = first_of[index]; k < first_of[index + 1]; ++k) {
            const Candidate &c = candidates[k];
            if (!best || holders[c.word] < holders[best->word] ||
                (holders[c.word] == holders[best->word] && c.word.length >= best->word.length)) {
                best = &c;
            }
        }
        auto [it, added] = required.emplace(best->word, std::pair{best->word.nearest, best->word.farthest});
        it->second.first = std::min(it->second.first, best->word.nearest);
        it->second.second = std::max(it->second.second, best->word.farthest);
    }
    std::size_t slots = 2;
    while (slots < 2 * required.size()) {
        slots *= 2;
    }
    filter->words.resize(slots);
    filter->mask = slots - 1;
    unsigned bit_width = 12;  // at least 4,096 bits, about 128 per word, at most 2^20
    while ((std::size_t{1} << bit_width) < 128 * required.size() && bit_width < 20) {
        ++bit_width;
    }
    filter->bits.assign((std::size_t{1} << bit_width) / 64, 0);
    for (auto &[key, distances] : required) {
        Prefilter::Word word = key;
        word.nearest = distances.first;
        word.farthest = distances.second;
        filter->farthest = std::max<Py_ssize_t>(filter->farthest, word.farthest);
        filter->shortest = std::min(filter->shortest, word.length);
        std::size_t slot = jump_hash(word.low, word.high, word.length) & filter->mask;
        while (filter->words[slot].length != 0) {
            slot = (slot + 1) & filter->mask;
        }
        filter->words[slot] = word;
    }
    filter->four = filter->shortest >= 4;
    filter->shift = (filter->four ? 32 : 64) - bit_width;
    for (const Prefilter::Word &word : filter->words) {
        if (word.length != 0) {
            std::uint64_t bit = filter->four ? fingerprint_four(static_cast<std::uint32_t>(word.low), filter->shift)
                                             : fingerprint(word.low, filter->shift);
            filter->bits[bit >> 6] |= std::uint64_t{1} << (bit & 63);
        }
    }
    prefilter_ = std::move(filter);
}

// The opening pairs as the block scans see them in the classes that they keep.
void PhraseAutomaton::build_block_pairs() {
    block_pairs_.clear();
    if (!use_jumps_ || opening_pairs_.empty()) {
        return;
    }
    // Where many pairs open a phrase, most words of a text pass too, and picking them first costs more than
    // it saves: the word filter behind it drops what they would.
    constexpr std::size_t kMostPairs = 256;
    std::size_t pairs = 0;
    for (std::uint64_t bits : opening_pairs_) {
        pairs += static_cast<std::size_t>(__builtin_popcountll(bits));
    }
    if (pairs > kMostPairs) {
        return;
    }
    // A block scan gives an ASCII non-word character class 0 where its 16 characters are all ASCII, and its
    // own class elsewhere: a first class that opens a phrase with any second one opens it with 0 too.
    block_pairs_ = opening_pairs_;
    for (std::uint32_t first = 0; first < 256; ++first) {
        bool opens = false;
        for (std::uint32_t word = first * 4; word < first * 4 + 4; ++word) {
            opens = opens || opening_pairs_[word] != 0;
        }
        if (opens) {
            block_pairs_[first * 4] |= 1u;  // the pair (first, 0)
        }
    }
}

// The pair filter of the word look-ups inside walks: a bit per (node, word) pair of the jump table.
void PhraseAutomaton::build_pair_filter() {
    if (!use_jumps_) {
        return;
    }
    std::size_t pairs = 0;
    for (std::uint16_t tag : jump_tags_) {
        pairs += tag != 0;
    }
    // About 16 bits a pair, within the first-level cache's reach for long lists.
    unsigned bits = 12;
    while ((std::size_t{1} << bits) < 16 * pairs && bits < 18) {
        ++bits;
    }
    pair_shift_ = 64 - bits;
    pair_filter_.assign((std::size_t{1} << bits) / 64, 0);
    for (std::size_t slot = 0; slot < jumps_.size(); ++slot) {
        if (jump_tags_[slot] == 0) {
            continue;
        }
        const Jump &jump = jumps_[slot];
        std::uint64_t hash = jump_hash(jump.low, jump.high, jump.length) ^ jump_from_mix(jump.from);
        std::uint64_t bit = (hash * 0x9E3779B97F4A7C15ull) >> pair_shift_;
        pair_filter_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    }
}

// The flags of the characters of the plane, a byte each, for the byte-permute block step (AVX-512 only).
void PhraseAutomaton::build_window_flags() {
    static_assert(kOpening >> 8 == 4, "the path reads a non-word character that opens a phrase as bit 2");
    window_flags_.clear();
    if (bmp_scan_.empty() || path_ != CpuPath::kAvx512) {
        return;
    }
    window_flags_.resize(kBmp);
    for (std::uint32_t c = 0; c < kBmp; ++c) {
        window_flags_[c] = static_cast<std::uint8_t>(bmp_scan_[c] >> 8);
    }
}

}  // namespace vadrel_guardrail::phrase_matching
