// Modes, keys and defaults shared by the whole package, for the C++ side.
#pragma once

#include <cstdint>

#include "pyhost/classes.hpp"

namespace vadrel_guardrail::constants {

inline constexpr std::int64_t kDefaultMaxStreamBufferBytes = 1 << 20;
inline constexpr std::int64_t kDefaultMaxStreamBufferChunks = 10000;

// Set when the module loads.
extern pyhost::Global GuardrailMode;
extern pyhost::Global TopicSafetyMode;
extern pyhost::Global GuardrailConstants;

// The members of GuardrailMode, for comparisons on hot paths.
struct Modes {
    pyhost::Global disabled, input_only, output_only, both;
};
extern Modes modes;

}  // namespace vadrel_guardrail::constants
