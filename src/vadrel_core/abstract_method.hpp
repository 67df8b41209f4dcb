// Abstract operations for classes built in C++: `abc.abstractmethod` marks a function by setting an
// attribute on it, which native functions cannot carry, so the operation is wrapped in a small
// descriptor that says it is abstract and binds like the function it holds.
#pragma once

#include <nanobind/nanobind.h>

#include "pyhost/classes.hpp"
#include "pyhost/raising.hpp"

namespace vadrel_abstract {
namespace nb = nanobind;

// The descriptor class, built once per extension into `module` as `_AbstractMethod`.
inline nb::handle descriptor_class(nb::handle module) {
    static pyhost::Global cls;
    if (!cls) {
        cls.set(pyhost::ClassBuilder(module, "_AbstractMethod", "An abstract operation with a native body.")
                    .attr("__isabstractmethod__", nb::bool_(true))
                    .attr("__slots__", nb::make_tuple("__func__"))
                    .method("__init__", [](nb::handle self, nb::handle func) { nb::setattr(self, "__func__", func); },
                            nb::arg("func"))
                    .method(
                        "__get__",
                        [](nb::handle self, nb::handle obj, nb::handle owner) -> nb::object {
                            // Read on the class it stays itself, so that subclasses see it is abstract;
                            // on an instance it binds as the held native method does.
                            if (obj.is_none()) {
                                return nb::borrow(self);
                            }
                            return self.attr("__func__").attr("__get__")(obj, owner);
                        },
                        nb::arg("obj").none(), nb::arg("owner").none() = nb::none())
                    .method(
                        "__call__",
                        [](nb::handle self, nb::args args, nb::kwargs kwargs) {
                            return self.attr("__func__")(*args, **kwargs);
                        })
                    .build());
    }
    return cls.get();
}

// An abstract operation named `name` whose body raises NotImplementedError when reached through
// `super()` or on a class that still lacks an implementation.
inline nb::object abstract_method(nb::handle module, const char *name, const char *doc) {
    nb::object body = nb::cpp_function(
        [name](nb::handle self, nb::args, nb::kwargs) -> nb::object {
            pyhost::raise(PyExc_NotImplementedError, "%s.%s is abstract", Py_TYPE(self.ptr())->tp_name, name);
        },
        nb::is_method(), nb::name(name), doc);
    return descriptor_class(module)(body);
}

}  // namespace vadrel_abstract
