// The prefilter's required words, chosen when the automaton is built (see prefilter.hpp).
#include "vadrel_guardrail/engine/phrase_matching/prefilter.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

#include "vadrel_guardrail/engine/phrase_matching/ascii_block.hpp"
#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"
#include "vadrel_guardrail/engine/phrase_matching/word_filter.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace {

// The scan reads a byte per character: 0 for a non-word character, else its class's byte, which for an ASCII
// word character is the character folded to lower case (so that 16 cost a few instructions).
inline std::uint32_t ascii_byte(std::uint32_t cls) {
    return cls <= 26 ? 'a' + cls - 1 : cls <= 36 ? '0' + cls - 27 : '_' | 0x20;
}

// A word's key in the maps of the words of the phrases.
std::tuple<std::uint64_t, std::uint64_t, std::uint32_t> key_of(const Prefilter::Word &w) {
    return {w.low, w.high, w.length};
}

}  // namespace

// The prefilter's required words: each phrase's, and the bits that let most other words pass by one load.
void PhraseAutomaton::build_prefilter() {
    // The scan reads a byte per class, and finds words only where matches start at word starts.
    if (!word_starts_only_ || bmp_scan_.empty() || phrases_.empty()) {
        return;
    }
    const CaseRules &rules = *rules_;
    auto filter = std::make_shared<Prefilter>();
    // Each class its own byte: the ASCII word characters' lower case, then the bytes left over in turn.
    std::uint32_t spare = 1;
    for (std::uint32_t cls = 1; cls < class_count_; ++cls) {
        if (cls >= kAsciiClasses) {
            while ((spare >= 'a' && spare <= 'z') || (spare >= '0' && spare <= '9') || spare == ('_' | 0x20)) {
                ++spare;  // a lower-case letter, a digit or the folded underscore
            }
        }
        filter->byte_of_class[cls] = static_cast<std::uint8_t>(cls < kAsciiClasses ? ascii_byte(cls) : spare++);
    }
    // A word of a phrase that every match shows as a whole word: its characters match only word characters, and
    // those beside it (if any) only non-word ones (ASCII ones, which match themselves alone).
    auto separates = [&](char32_t c) { return c < 0x80 && !rules.word(c); };
    std::vector<Prefilter::Word> candidates;
    std::vector<std::size_t> first_of(phrases_.size() + 1, 0);
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>, std::uint32_t> holders;  // phrases holding each
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
                candidates.push_back(word);
                ++holders[key_of(word)];
            }
            at = end;
        }
        if (first_of[index] == candidates.size()) {
            return;  // a phrase without a word to require
        }
    }
    first_of[phrases_.size()] = candidates.size();
    // Each phrase requires the word that the fewest phrases hold (a guess at the text's rarest), then the longer.
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>, Prefilter::Word> required;
    for (std::size_t index = 0; index < phrases_.size(); ++index) {
        const Prefilter::Word *best = nullptr;
        for (std::size_t k = first_of[index]; k < first_of[index + 1]; ++k) {
            const Prefilter::Word &c = candidates[k];
            if (!best || holders[key_of(c)] < holders[key_of(*best)] ||
                (holders[key_of(c)] == holders[key_of(*best)] && c.length >= best->length)) {
                best = &c;
            }
        }
        auto [it, added] = required.emplace(key_of(*best), *best);
        it->second.nearest = std::min(it->second.nearest, best->nearest);
        it->second.farthest = std::max(it->second.farthest, best->farthest);
    }
    filter->mask = (std::size_t{1} << index_bits(2 * required.size(), 1, 63)) - 1;
    filter->words.resize(filter->mask + 1);
    // At least 4,096 bits, about 128 per word, at most 2^20.
    const unsigned bit_width = index_bits(128 * required.size(), 12, 20);
    filter->bits.assign((std::size_t{1} << bit_width) / 64, 0);
    for (const auto &[key, word] : required) {
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
            set_bit(filter->bits.data(), filter->four
                                             ? fingerprint_four(static_cast<std::uint32_t>(word.low), filter->shift)
                                             : fingerprint(word.low, filter->shift));
        }
    }
    prefilter_ = std::move(filter);
}

}  // namespace vadrel_guardrail::phrase_matching
