#include "vadrel_guardrail/engine/phrase_matching/cpu_path.hpp"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace vadrel_guardrail::phrase_matching {

namespace {

// What the AVX2 steps use beside AVX2 itself, and what the AVX-512 steps use.
bool runs(CpuPath path) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                __builtin_cpu_supports("popcnt");
    bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
                  __builtin_cpu_supports("avx512vbmi2");
    return path == CpuPath::kPortable || (path == CpuPath::kAvx2 && avx2) || (path == CpuPath::kAvx512 && avx512);
#else
    return path == CpuPath::kPortable;
#endif
}

CpuPath chosen_path() {
    constexpr CpuPath kAll[] = {CpuPath::kPortable, CpuPath::kAvx2, CpuPath::kAvx512};
    const char *asked = std::getenv("VADREL_PHRASE_ISA");
    if (asked == nullptr || *asked == '\0') {
        CpuPath best = CpuPath::kPortable;
        for (CpuPath path : kAll) {
            best = runs(path) ? path : best;
        }
        return best;
    }
    std::string supported;
    for (CpuPath path : kAll) {
        if (runs(path)) {
            supported += supported.empty() ? "" : ", ";
            supported += cpu_path_name(path);
        }
    }
    for (CpuPath path : kAll) {
        if (std::string(asked) == cpu_path_name(path)) {
            if (!runs(path)) {
                throw std::invalid_argument("VADREL_PHRASE_ISA=" + std::string(asked) +
                                            ": this CPU cannot run that path (it runs: " + supported + ")");
            }
            return path;
        }
    }
    throw std::invalid_argument("VADREL_PHRASE_ISA=" + std::string(asked) +
                                ": unknown path (known: portable, avx2, avx512; this CPU runs: " + supported + ")");
}

}  // namespace

CpuPath cpu_path() {
    static const CpuPath path = chosen_path();
    return path;
}

const char *cpu_path_name(CpuPath path) {
    switch (path) {
    case CpuPath::kAvx2:
        return "avx2";
    case CpuPath::kAvx512:
        return "avx512";
    default:
        return "portable";
    }
}

}  // namespace vadrel_guardrail::phrase_matching
