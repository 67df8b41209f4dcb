// How the self-check prompts' answers are read into a verdict list.
#pragma once

#include <nanobind/nanobind.h>

namespace vadrel_guardrail::nemo_answer {
namespace nb = nanobind;

// The verdict list of a model's answer to a self-check prompt (the output parser "self_check_verdict" that
// the packaged configuration registers and its prompts name), in the runtime's shape: [True] when safe,
// [False, code, ...] when unsafe, with the category codes that follow the verdict. The verdict is the
// answer's first word, whatever the case and punctuation around it: "safe" and "no" pass; "unsafe",
// "not safe" and "yes" block. Any other answer blocks too, with a warning on the engine's logger.
nb::list parse(nb::handle answer);

}  // namespace vadrel_guardrail::nemo_answer
