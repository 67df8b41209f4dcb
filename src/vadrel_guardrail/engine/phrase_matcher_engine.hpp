// The phrase-matcher engine, for the C++ side.
#pragma once

#include "pyhost/classes.hpp"

namespace vadrel_guardrail::phrase_matcher_engine {

// Set when the module loads.
extern pyhost::Global PhraseMatcherEngine;

}  // namespace vadrel_guardrail::phrase_matcher_engine
