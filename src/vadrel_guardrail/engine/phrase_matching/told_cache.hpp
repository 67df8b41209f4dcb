// Telling matches back as phrases from the raw texts told before. A text's matches repeat a few raw texts (a
// phrase in the case the text writes it), and the lower-casing compare of each against its node's phrases,
// with the sigma rule, costs far more than a compare of the raw text with the last one told at that node.
#pragma once

#include <cstdint>
#include <cstring>

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"

namespace vadrel_guardrail::phrase_matching {

// What `phrase_of_match_afresh` tells, from the entries of `node` where one holds this raw text. A raw text
// tells the same phrase wherever it stands, except through its capital sigmas whose lower case hangs on the
// characters around the match: an entry holds only while those lower as they did.
template <typename CharT, typename SigmaAt>
int PhraseAutomaton::phrase_of_match(const CharT *chars, Py_ssize_t start, Py_ssize_t end, std::int32_t node,
                                     SigmaAt &&sigma_at) const {
    const Py_ssize_t length = end - start;
    const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(CharT);
    if (bytes > ToldText::kBytes) {
        return phrase_of_match_afresh(chars, start, end, node, sigma_at);
    }
    static_assert(ToldText::kBytes / 2 <= 64, "a sigma's place (of two bytes or more) must fit the bits");
    // Scans run holding the GIL, so one at a time writes here. A pair of entries for each text that a phrase
    // list holds, up to 1 MB: only the entries of the texts that a text matches are ever read, and a long list's
    // matched texts are many (hundreds of word pairs in a text of a few dozen words), each told by a miss where
    // they crowd a smaller table.
    if (told_.empty()) {
        std::size_t pairs = 16;
        while (pairs < 2 * texts_.size() && pairs < 4096) {
            pairs *= 2;
        }
        told_.resize(2 * pairs);
    }
    const std::uint32_t mask = static_cast<std::uint32_t>(told_.size() / 2 - 1);
    ToldText *pair = told_.data() + 2 * (((static_cast<std::uint32_t>(node) * 0x9E3779B1u) >> 16) & mask);
    const CharT *text = chars + start;
    auto finals_of = [&](std::uint64_t sigmas) {
        std::uint64_t finals = 0;
        for (; sigmas != 0; sigmas &= sigmas - 1) {
            int k = __builtin_ctzll(sigmas);
            finals |= static_cast<std::uint64_t>(sigma_at(start + k) == kFinalSigma) << k;
        }
        return finals;
    };
    for (int way = 0; way < 2; ++way) {
        const ToldText &told = pair[way];
        if (told.node == node && told.length == length && told.width == sizeof(CharT) &&
            std::memcmp(told.raw, text, bytes) == 0 && (told.sigmas == 0 || finals_of(told.sigmas) == told.finals)) {
            return told.phrase;
        }
    }
    int phrase = phrase_of_match_afresh(chars, start, end, node, sigma_at);
    // The newest entry first; the older one gives way.
    pair[1] = pair[0];
    ToldText &told = pair[0];
    told.node = node;
    told.phrase = phrase;
    told.length = static_cast<std::uint16_t>(length);
    told.width = sizeof(CharT);
    std::memcpy(told.raw, text, bytes);
    // A sigma's lower case hangs on the characters around the match where it differs between a cased and an
    // uncased character on either side of the raw text (an uncased one stands for the text's start and end).
    told.sigmas = 0;
    char32_t padded[ToldText::kBytes + 2];
    for (Py_ssize_t k = 0; k < length; ++k) {
        padded[k + 1] = static_cast<char32_t>(text[k]);
    }
    for (Py_ssize_t k = 0; k < length; ++k) {
        if (text[k] != kCapitalSigma) {
            continue;
        }
        std::uint32_t forms = 0;
        for (char32_t before : {U'A', U' '}) {
            for (char32_t after : {U'A', U' '}) {
                padded[0] = before;
                padded[length + 1] = after;
                forms |= std::uint32_t{1} << (rules_->sigma_lowered(padded, length + 2, k + 1) == kFinalSigma);
            }
        }
        told.sigmas |= static_cast<std::uint64_t>(forms == 3) << k;
    }
    told.finals = finals_of(told.sigmas);
    return phrase;
}

}  // namespace vadrel_guardrail::phrase_matching
