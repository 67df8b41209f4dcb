// The module frame: one extension module that presents a whole dotted package tree.
//
// The extension's own module becomes the top-level package. Every other module of the tree is
// described by one `ModuleDef`; a finder on `sys.meta_path` answers for exactly those names, so
// Python's import system creates, registers and initialises them (spec, `__file__`, `__path__`,
// `__package__`) like any package on disk, and C++ init functions fill them. The public nanobind
// functions a module defines are then given their signatures (signatures.hpp).
#pragma once

#include <initializer_list>
#include <span>

#include <nanobind/nanobind.h>

namespace pyhost {
namespace nb = nanobind;

struct ModuleDef {
    const char *name;                  // full dotted name; the first entry is the top-level package
    const char *doc;
    bool package;
    void (*init)(nb::module_ module);  // fills the module; may be null
};

// Make `root` (the extension module Python is executing) a package over `modules`, whose first
// entry describes `root` itself, and run the root's init, which imports the rest in its own order.
void install_package(nb::module_ root, std::span<const ModuleDef> modules);

// `from module import name`.
nb::object import_from(const char *module, const char *name);

// `from module import a, b, ...` into `target`'s namespace.
void reexport(nb::module_ target, const char *module, std::initializer_list<const char *> names);

// `__all__ = [...]`.
void set_all(nb::module_ target, std::initializer_list<const char *> names);

}  // namespace pyhost
