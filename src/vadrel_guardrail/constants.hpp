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

}  // namespace vadrel_guardrail::constants
