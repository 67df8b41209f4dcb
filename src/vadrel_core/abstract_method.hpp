// Abstract operations for classes built in C++: `abc.abstractmethod` marks a function by setting an
// attribute on it, which native functions cannot carry, so the operation is wrapped in a small
// descriptor that says it is abstract and binds like the function it holds.
#pragma once

#include <utility>

#include <nanobind/nanobind.h>

#include "pyhost/classes.hpp"
#include "pyhost/raising.hpp"
#include "pyhost/signatures.hpp"

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
                    // Read on the class, the operation shows the signature of the function it holds, and whether
                    // the contract makes it a coroutine function.
                    .property("__signature__",
                              [](nb::handle self) { return self.attr("__func__").attr("__signature__"); })
                    .property("_is_coroutine_marker",
                              [](nb::handle self) { return self.attr("__func__").attr("_is_coroutine_marker"); })
                    .build());
    }
    return cls.get();
}

namespace detail {

// A body taking `self` and one handle per declared parameter, so that it shows their names.
template <size_t... I>
auto abstract_body(const char *name, std::index_sequence<I...>) {
    return [name](nb::handle self, decltype((void)I, nb::handle())...) -> nb::object {
        pyhost::raise(PyExc_NotImplementedError, "%s.%s is abstract", Py_TYPE(self.ptr())->tp_name, name);
    };
}

}  // namespace detail

// An abstract operation `cls.name` with the parameters `params` (nb::arg), whose body raises
// NotImplementedError when reached through `super()` or on a class that still lacks an implementation.
template <typename... Params>
nb::object abstract_method(nb::handle module, const char *cls, const char *name, const char *doc,
                           const Params &...params) {
    nb::object body = nb::cpp_function(detail::abstract_body(name, std::index_sequence_for<Params...>()),
                                       nb::is_method(), nb::name(name), params..., doc);
    return descriptor_class(module)(
        pyhost::signed_function(body, module.attr("__name__"), nb::str("{}.{}").format(cls, name)));
}

}  // namespace vadrel_abstract
