// How an invoker lets go of what it holds open: `aclose()`, and `async with` around its use.
#pragma once

#include "pyhost/classes.hpp"

namespace vadrel_inference {

// Adds `aclose` (for an invoker that holds nothing open: it returns at once), `__aenter__` (the invoker
// itself) and `__aexit__` (awaits `aclose`, whichever `aclose` the invoker's class has).
pyhost::ClassBuilder &closable(pyhost::ClassBuilder &builder);

}  // namespace vadrel_inference
