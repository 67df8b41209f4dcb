// How a check reads an engine: its attributes and whether its check methods are still the class's own, all
// through Python's attribute protocol (users may subclass engines and replace what they hold).
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include "pyhost/objects.hpp"
#include "pyhost/plain_reads.hpp"
#include "vadrel_guardrail/engine/phrase_matcher_engine.hpp"

namespace vadrel_guardrail::phrase_matching {

namespace nb = nanobind;
using pyhost::OwnMethod;

// An engine as one check reads it.
class EngineReads {
public:
    explicit EngineReads(nb::handle self) : self_(self) {}

    nb::handle self() const { return self_; }

    // `self.name`. An exact `PhraseMatcherEngine` keeps what a check reads in its instance dict, and its class
    // holds nothing under those names that would stand before the dict (a data descriptor): read there, with
    // a strong reference to the dict and to the value. Anything else, and a name not in the dict, is read
    // through the attribute protocol.
    nb::object get(nb::handle name) const {
        if (Py_TYPE(self_.ptr()) == reinterpret_cast<PyTypeObject *>(phrase_matcher_engine::PhraseMatcherEngine.get().ptr())) {
            nb::object dict = pyhost::owned(PyObject_GenericGetDict(self_.ptr(), nullptr));
            PyObject *value = nullptr;
            if (pyhost::status(PyDict_GetItemRef(dict.ptr(), name.ptr(), &value)) == 1) {
                return nb::steal(value);
            }
        }
        return pyhost::owned(PyObject_GetAttr(self_.ptr(), name.ptr()));
    }

    // Whether the engine reaches `method`'s own function.
    bool reaches(const OwnMethod &method) const { return method.reached_by(self_); }

private:
    nb::handle self_;
};

}  // namespace vadrel_guardrail::phrase_matching
