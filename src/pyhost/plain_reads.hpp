// Reading an object's attributes straight from its dict, while its class leaves the host's generic look-up
// nothing else to find there first: what hot paths read of engines and managers, which users may subclass.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <vector>

#include "pyhost/objects.hpp"

namespace pyhost {
namespace nb = nanobind;

// A method that callers may replace, on an engine or on its class. While an engine reaches the class's own
// function under the name, a check runs the native body at once: no bound method, no coroutine in between.
class OwnMethod {
public:
    void init(nb::handle cls, nb::handle name) {
        name_ = name.ptr();
        // Held, so that a replacement can never come to lie at the same address.
        own_ = nb::borrow(_PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), name_)).release().ptr();
    }
    // Whether `type` reaches the class's own function, unless an instance's dict holds the name.
    bool owned_by(PyTypeObject *type) const {
        return type->tp_getattro == PyObject_GenericGetAttr && _PyType_Lookup(type, name_) == own_;
    }
    bool reached_by(nb::handle self) const {
        PyTypeObject *type = Py_TYPE(self.ptr());
        if (!owned_by(type)) {
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

// The classes whose instances' attributes can be read straight from the instance's dict: the host's generic
// attribute look-up, the given methods their own, and nothing on the class under the given attribute names
// that would stand before the instance's dict (a data descriptor). Known by the class's version tag, which the host
// changes whenever the class or one of its bases changes.
class PlainClasses {
public:
    PlainClasses(std::initializer_list<const OwnMethod *> methods, std::initializer_list<nb::handle> attributes)
        : methods_(methods) {
        for (nb::handle name : attributes) {
            attributes_.push_back(name.ptr());
        }
    }

    bool holds(PyTypeObject *type) {
        if (type == type_ && type->tp_version_tag == tag_ && tag_ != 0) {
            return true;
        }
        if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0) {
            return false;
        }
        for (const OwnMethod *method : methods_) {
            if (!method->owned_by(type)) {
                return false;
            }
        }
        for (PyObject *name : attributes_) {
            PyObject *found = _PyType_Lookup(type, name);
            if (found && Py_TYPE(found)->tp_descr_set) {
                return false;
            }
        }
        if (!PyUnstable_Type_AssignVersionTag(type)) {
            return false;
        }
        type_ = type;
        tag_ = type->tp_version_tag;
        return true;
    }

private:
    std::vector<const OwnMethod *> methods_;
    std::vector<PyObject *> attributes_;
    PyTypeObject *type_ = nullptr;  // the last class found plain, at `tag_`
    unsigned int tag_ = 0;
};

}  // namespace pyhost
