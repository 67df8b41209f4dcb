// How a check reads an engine: its attributes and whether its check methods are still the class's own.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include "pyhost/objects.hpp"
#include "pyhost/plain_reads.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace nb = nanobind;
using pyhost::OwnMethod;
using pyhost::PlainClasses;

// An engine as one check reads it: through the instance's dict when its class is plain, else as the host reads
// attributes.
class EngineReads {
public:
    EngineReads(nb::handle self, PlainClasses &plain) : self_(self) {
        if (plain.holds(Py_TYPE(self.ptr()))) {
            dict_ = pyhost::owned(PyObject_GenericGetDict(self.ptr(), nullptr));
        }
    }

    nb::handle self() const { return self_; }

    // `self.name`.
    nb::object get(nb::handle name) const {
        if (dict_.is_valid()) {
            if (PyObject *value = PyDict_GetItemWithError(dict_.ptr(), name.ptr())) {
                return nb::borrow(value);
            }
            pyhost::status(PyErr_Occurred() ? -1 : 0);
        }
        return self_.attr(name);  // on the class, or the host's own error
    }

    // Whether the engine reaches `method`'s own function.
    bool reaches(const OwnMethod &method) const {
        if (dict_.is_valid()) {
            return pyhost::status(PyDict_Contains(dict_.ptr(), method.name())) == 0;
        }
        return method.reached_by(self_);
    }

private:
    nb::handle self_;
    nb::object dict_;  // the instance's dict, when the class is plain
};

}  // namespace vadrel_guardrail::phrase_matching
