// Whether an object still reaches its class's own function under a method's name, asked through Python's
// attribute protocol: a fast path may then run the native body at once; anything else is called as Python
// would call it.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"

namespace pyhost {
namespace nb = nanobind;

// A method that callers may replace, on an object or on its class.
class OwnMethod {
public:
    // `getattr(cls, name)` now is the class's own function. Both are held for the process, so that a
    // replacement can never come to lie at the same address.
    void init(nb::handle cls, nb::handle name) {
        name_ = nb::borrow(name).release().ptr();
        own_ = owned(PyObject_GetAttr(cls.ptr(), name_)).release().ptr();
    }
    void init(nb::handle cls, const char *name) { init(cls, intern(name)); }

    // Whether `self.name` is the class's own function bound to `self`: the class reads attributes the generic
    // way (no `__getattribute__` or `__getattr__` of its own), answers the own function under the name (a
    // function is no data descriptor, so the instance's dict comes first), and the instance's dict does not
    // hold the name. False answers leave the call to Python's protocol, so only a sure answer is true.
    bool reached_by(nb::handle self) const {
        PyTypeObject *type = Py_TYPE(self.ptr());
        if (type->tp_getattro != PyObject_GenericGetAttr) {
            return false;
        }
        PyObject *found = nullptr;
        status(PyObject_GetOptionalAttr(reinterpret_cast<PyObject *>(type), name_, &found));
        const bool own = found == own_;
        Py_XDECREF(found);
        if (!own) {
            return false;
        }
        if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
            return true;
        }
        nb::object dict = owned(PyObject_GenericGetDict(self.ptr(), nullptr));
        return status(PyDict_Contains(dict.ptr(), name_)) == 0;
    }
    PyObject *name() const { return name_; }

private:
    PyObject *name_ = nullptr;
    PyObject *own_ = nullptr;
};

}  // namespace pyhost
