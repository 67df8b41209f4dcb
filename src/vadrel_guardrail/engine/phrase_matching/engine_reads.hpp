// How a check reads an engine: its attributes and whether its check methods are still the class's own, all
// through Python's attribute protocol (users may subclass engines and replace what they hold).
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include "pyhost/objects.hpp"
#include "pyhost/plain_reads.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace nb = nanobind;
using pyhost::OwnMethod;
using pyhost::PlainClasses;

// An engine as one check reads it.
class EngineReads {
public:
    explicit EngineReads(nb::handle self) : self_(self) {}
    EngineReads(nb::handle self, const PlainClasses &) : self_(self) {}

    nb::handle self() const { return self_; }

    // `self.name`.
    nb::object get(nb::handle name) const { return pyhost::owned(PyObject_GetAttr(self_.ptr(), name.ptr())); }

    // Whether the engine reaches `method`'s own function.
    bool reaches(const OwnMethod &method) const { return method.reached_by(self_); }

private:
    nb::handle self_;
};

}  // namespace vadrel_guardrail::phrase_matching
