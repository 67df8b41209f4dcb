// Which SIMD code the scans run: chosen once per process, at this one point, and read by every step that has
// a vector form.
#pragma once

#include <cstdint>

namespace vadrel_guardrail::phrase_matching {

enum class CpuPath : std::uint8_t { kPortable, kAvx2, kAvx512 };

// The path of this process: the one that the environment variable VADREL_PHRASE_ISA names ("portable", "avx2"
// or "avx512") when it is set, else the best that this CPU runs. Read once; an unknown value, or a path this
// CPU cannot run, throws std::invalid_argument with a message that says so (at every call, so that the first
// automaton built reports it).
CpuPath cpu_path();

// The path's name as VADREL_PHRASE_ISA spells it.
const char *cpu_path_name(CpuPath path);

}  // namespace vadrel_guardrail::phrase_matching
