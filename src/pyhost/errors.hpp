// Until every user includes the two helper modules directly.
#pragma once

#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"

namespace pyhost {
// `a == b`.
inline bool equals(nb::handle a, nb::handle b) { return a.equal(b); }
}  // namespace pyhost
