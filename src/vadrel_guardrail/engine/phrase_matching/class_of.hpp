// The class of a character for a `PhraseAutomaton`'s scans, shared by the files that hold them.
#pragma once

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/case_rules.hpp"

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

}  // namespace vadrel_guardrail::phrase_matching
