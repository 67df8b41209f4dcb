// The native automaton of each pattern that the phrase-matcher engine prepares, found by the pattern object:
// it lives as long as the pattern (a weak reference drops it), so a pattern that a caller puts in
// `banned_phrases_regex` instead has none and is used through its own `findall`.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/binding.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace nb = nanobind;

struct NativeEntry {
    nb::object weakref;
    std::shared_ptr<const PhraseAutomaton> automaton;
    nb::dict first_of_text;  // lower-cased phrase text -> the automaton's first phrase with that text
    // The sequences that engines of this pattern held at their last checks (the host's compile cache can give
    // several engines one pattern), the latest last.
    std::vector<Binding> bindings;

    // The binding of `phrases`: kept when they still hold the same items, else made once from their
    // lower-cased forms (`lowered`, when the caller has them). Null when `phrases` cannot be bound, for
    // items other than exact texts, which may lower-case differently each time.
    // With `found`, a binding whose items lead `phrases` far enough to tell those matches will do.
    const Binding *binding_for(nb::handle phrases, nb::handle lowered = nb::handle(),
                               const std::vector<std::int32_t> *found = nullptr,
                               const std::vector<std::u32string> *other_texts = nullptr);
};

// The entry of a prepared pattern, or null when it has none.
NativeEntry *native_entry(nb::handle pattern);
const PhraseAutomaton *native_for(nb::handle pattern);

// Builds the automaton of `pattern`, prepared from `phrases` as they were lower-cased into `lowered_phrases`,
// item for item; nothing when the phrases cannot have one.
void register_native(nb::handle pattern, nb::handle phrases, nb::handle lowered_phrases);

// The name of the SIMD path that automata run (see cpu_path.hpp); a bad VADREL_PHRASE_ISA raises ValueError.
nb::str cpu_path_in_use();

// The matches of a native automaton, as the texts `findall` would give; None when the pattern has no automaton.
nb::object native_findall(nb::handle pattern, nb::handle text);

}  // namespace vadrel_guardrail::phrase_matching
