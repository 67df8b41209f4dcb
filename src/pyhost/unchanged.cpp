// The type watcher behind pyhost::Unchanged.
#include "pyhost/unchanged.hpp"

#include <algorithm>

#include "pyhost/raising.hpp"

namespace pyhost {

namespace {

std::vector<Unchanged *> &all_sets() {
    static auto *sets = new std::vector<Unchanged *>();  // kept for the process, as the watcher is
    return *sets;
}

// The watcher's id, added on first use; -1 when the interpreter has no watcher left.
int watcher_id();

// Stores now what Python's own machinery stores on the class the first time it is used, so that this
// first use is not taken for a change. Both are documented behaviour of what they call:
// - reading `__annotations__` stores them on the class (as `isinstance` against a protocol does);
// - `object.__getstate__`, which `pickle` and `copy` run for a class that defines no `__getstate__` of its
//   own, stores the class's slot names as `__slotnames__` (the cache of `copyreg`) on first use. It runs
//   here on a bare instance from `object.__new__`; a class with its own `__getstate__` never reaches it.
void store_first_use(nb::handle type) {
    static PyObject *annotations = PyUnicode_InternFromString("__annotations__");
    nb::object mro = owned(PyObject_GetAttrString(type.ptr(), "__mro__"));
    for (nb::handle base : mro) {
        PyObject *read = nullptr;
        if (PyObject_GetOptionalAttr(base.ptr(), annotations, &read) < 0) PyErr_Clear();
        Py_XDECREF(read);
    }
    if (PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type.ptr()), &PyType_Type)) return;  // a metaclass
    nb::handle object_type(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    nb::object own = owned(PyObject_GetAttrString(type.ptr(), "__getstate__"));
    nb::object default_state = owned(PyObject_GetAttrString(object_type.ptr(), "__getstate__"));
    if (!own.is(default_state)) return;
    nb::object bare = object_type.attr("__new__")(type);
    default_state(bare);
}

}  // namespace

Unchanged::Unchanged(const char *name) : name_(name) { all_sets().push_back(this); }

// Runs for every change of a watched class, the GIL held; it must not raise.
int on_type_change(PyTypeObject *type) {
    for (Unchanged *set : all_sets()) {
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
    holds_ = true;  // until a change is reported, the first one maybe while the next class is prepared
    bool tagged = true;
    for (nb::handle type : types) {
        store_first_use(type);
        status(PyType_Watch(id, type.ptr()));
        types_.push_back(reinterpret_cast<PyTypeObject *>(Py_NewRef(type.ptr())));
        // Watched first, then tagged: from the tag on, every change of the class or a base is reported.
        // Without a tag (the class or a base used up its tags) no change would be: the set never holds.
        tagged = tagged && PyUnstable_Type_AssignVersionTag(reinterpret_cast<PyTypeObject *>(type.ptr())) == 1;
    }
    holds_ = holds_ && tagged;
}

const Unchanged *Unchanged::named(std::string_view name) noexcept {
    for (Unchanged *set : all_sets()) {
        if (name == set->name_) return set;
    }
    return nullptr;
}

}  // namespace pyhost
