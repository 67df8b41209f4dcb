// The type watcher behind pyhost::Unchanged.
#include "pyhost/unchanged.hpp"

#include <algorithm>

#include "pyhost/raising.hpp"

namespace pyhost {

namespace {

std::vector<Unchanged *> &watching() {
    static auto *sets = new std::vector<Unchanged *>();  // kept for the process, as the watcher is
    return *sets;
}

// The watcher's id, added on first use; -1 when the interpreter has no watcher left.
int watcher_id();

}  // namespace

// Runs for every change of a watched class, the GIL held; it must not raise.
int on_type_change(PyTypeObject *type) {
    for (Unchanged *set : watching()) {
        if (std::find(set->types_.begin(), set->types_.end(), type) != set->types_.end()) {
            set->holds_ = false;
        }
    }
    return 0;
}

namespace {

int watcher_id() {
    static const int id = [] {
        const int made = PyType_AddWatcher(&on_type_change);
        if (made < 0) PyErr_Clear();  // none left: every fast path yields to the protocol
        return made;
    }();
    return id;
}

}  // namespace

void Unchanged::watch(std::initializer_list<nb::handle> types) {
    const int id = watcher_id();
    if (id < 0) return;
    static PyObject *probe = PyUnicode_InternFromString("__dict__");
    static PyObject *annotations = PyUnicode_InternFromString("__annotations__");
    for (nb::handle type : types) {
        // A class stores its `__annotations__` when they are first read (as `isinstance` against a protocol
        // does): read them on the class and its bases now, so that this first read is not taken for a change.
        nb::object mro = owned(PyObject_GetAttrString(type.ptr(), "__mro__"));
        for (nb::handle base : mro) {
            PyObject *read = nullptr;
            if (PyObject_GetOptionalAttr(base.ptr(), annotations, &read) < 0) PyErr_Clear();
            Py_XDECREF(read);
        }
        status(PyType_Watch(id, type.ptr()));
        types_.push_back(reinterpret_cast<PyTypeObject *>(Py_NewRef(type.ptr())));
        // The interpreter may report one change for a run of changes with no look-up on the class in
        // between: a look-up now makes the first change after this point reported.
        nb::object read = owned(PyObject_GetAttr(type.ptr(), probe));
    }
    watching().push_back(this);
    holds_ = true;
}

}  // namespace pyhost
