// Whether classes the package made are still as it made them, so that a fast path may stand for what
// Python's attribute protocol would find on them.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string_view>
#include <vector>

namespace pyhost {
namespace nb = nanobind;

// A set of classes watched through the interpreter's type watchers (`PyType_AddWatcher`, `PyType_Watch`):
// assigning or deleting an attribute of a watched class, of one of its bases (the interpreter passes the
// change on to subclasses), or a change of its bases, marks the set changed for good. The interpreter
// reports changes only of a class that holds a version tag, and gives a class a bounded number of them
// over its life (a base changed often enough has none to pass on): a set holds only when every class in it
// held a tag once watched. A fast path that holds while `holds()` answers true must check the rest itself
// (the exact type of an instance, what the class held when it was watched). Where the interpreter cannot
// watch, `holds()` is always false.
class Unchanged {
public:
    explicit Unchanged(const char *name);
    Unchanged(const Unchanged &) = delete;
    Unchanged &operator=(const Unchanged &) = delete;

    // Starts watching `types` (classes, metaclasses). Kept for the process.
    void watch(std::initializer_list<nb::handle> types);
    bool holds() const noexcept { return holds_; }
    // The set made under `name`, or null (for the tests' hooks).
    static const Unchanged *named(std::string_view name) noexcept;

private:
    friend int on_type_change(PyTypeObject *);
    const char *name_;
    std::vector<PyTypeObject *> types_;
    bool holds_ = false;
};

}  // namespace pyhost
