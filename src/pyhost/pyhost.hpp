// pyhost: how the package's C++ meets the Python interpreter: the module frame, class builders, signed
// functions, reading objects and raising errors. Include this header, or the one part you use.
//
// The rule for all native code of the package (pyhost, pyasync and the extensions):
//   - Only the documented C API of CPython (and nanobind's public API).
//   - Read no structure of CPython's or pydantic's beyond its documented members: no private functions
//     (`_Py...`), no type version tags, no object layouts, slot offsets or table contents.
//   - Hold no borrowed reference across a call that can run Python code: a comparison, a hash, an
//     attribute read, a decref. Take a strong reference first (`PyDict_GetItemRef`, `nb::borrow`).
//   Attributes are read through Python's protocol (`PyObject_GetAttr`), or from the instance dict with
//   strong references where the object is an exact instance of one of the package's own classes and a type
//   watcher shows that class unchanged since the module made it (`pyhost::Unchanged`): a property or
//   any other attribute set on the class or a base then takes the protocol again. Objects are never reused
//   because their reference count says nobody else holds them.
//
// An exception needs all three of: a gain of at least 20% measured on a path users call
// (`manager.check_content`, or a stream through the manager); a comment where it is used stating the
// invariant it relies on; and a test that fails when that invariant is broken.
#pragma once

#include "pyhost/classes.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/plain_reads.hpp"
#include "pyhost/raising.hpp"
#include "pyhost/signatures.hpp"
#include "pyhost/unchanged.hpp"
