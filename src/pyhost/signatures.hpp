// Signatures that tools can read. A nanobind function describes its parameters only inside its
// docstring, so `inspect.signature`, `help()` and editors see nothing. A signed function is a thin
// callable around one: calls go straight through by vectorcall, it binds as a method like a
// Python function does, and it carries `__signature__` with the names, kinds and defaults that
// the binding declares, annotated with the types of the package's stubs.
#pragma once

#include <nanobind/nanobind.h>

namespace pyhost {
namespace nb = nanobind;

// `f` as a signed function named `qualname` in `module` (texts) when it is a nanobind function;
// anything else unchanged.
nb::object signed_function(nb::handle f, nb::handle module, nb::handle qualname);

// Each public nanobind function that `module` defines itself, replaced by its signed form (names
// that other modules import from it afterwards are the signed ones).
void sign_functions(nb::handle module);

}  // namespace pyhost
