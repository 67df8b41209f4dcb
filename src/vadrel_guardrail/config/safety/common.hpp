// Steps the two safety builders share: items from a parsed document, filtering by name, the
// structured form, template filling.
#pragma once

#include "pyhost/classes.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/frame.hpp"

namespace vadrel_guardrail::safety {
namespace nb = nanobind;

using pyhost::truth;

// `a == b` followed by a truth test, as an `if a == b:` would do it.
inline bool equals(nb::handle a, nb::handle b) {
    nb::object result = pyhost::owned(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    return truth(result);
}

// Binds what both builder modules take from the base module and the data loader, as their imports
// would; returns the builder base.
inline nb::object bind_builder_imports(nb::module_ m) {
    nb::object base = pyhost::import_from("vadrel_guardrail.config.safety.base", "BaseSafetyConfigBuilder");
    m.attr("BaseSafetyConfigBuilder") = base;
    m.attr("load_yaml_config") = pyhost::import_from("vadrel_guardrail.config_loader", "load_yaml_config");
    return base;
}

// `cls(**element)`, with Python's own checks and messages for the keyword expansion.
inline nb::object item_from(nb::handle cls, nb::handle element) {
    nb::dict keywords;
    if (!PyDict_Check(element.ptr()) && !nb::hasattr(element, "keys")) {
        nb::handle type = reinterpret_cast<PyObject *>(Py_TYPE(element.ptr()));
        pyhost::raise(PyExc_TypeError, "%S.%S() argument after ** must be a mapping, not %S",
                      cls.attr("__module__").ptr(), cls.attr("__qualname__").ptr(), type.attr("__name__").ptr());
    }
    pyhost::status(PyDict_Update(keywords.ptr(), element.ptr()));
    for (nb::handle key : keywords.keys()) {
        if (!PyUnicode_Check(key.ptr())) {
            pyhost::raise(PyExc_TypeError, "keywords must be strings");
        }
    }
    return pyhost::owned(PyObject_Call(cls.ptr(), nb::tuple().ptr(), keywords.ptr()));
}

// One item of `cls` per element of `sequence`, in order.
inline nb::list items_from(nb::handle cls, nb::handle sequence) {
    nb::list items;
    for (nb::handle element : sequence) {
        items.append(item_from(cls, element));
    }
    return items;
}

// The items whose `field` is one of `names`, in item order; every item, as a new list, when
// `names` is None. A single text is refused: `in` would match its substrings, not whole names.
inline nb::list filter_items(nb::handle items, nb::handle names, const char *field, const char *parameter) {
    nb::list retained;
    if (names.is_none()) {
        for (nb::handle item : items) retained.append(item);
        return retained;
    }
    if (PyUnicode_Check(names.ptr())) {
        pyhost::raise(PyExc_TypeError, "%s must be a list of names, not a single text", parameter);
    }
    // Read once (it may be an iterator), then a set when every name hashes, else the list; both
    // test membership by equality.
    nb::object wanted = pyhost::owned(PySequence_List(names.ptr()));
    if (nb::object set = nb::steal(PySet_New(wanted.ptr())); set.is_valid()) {
        wanted = set;
    } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
    } else {
        throw nb::python_error();
    }
    for (nb::handle item : items) {
        nb::object value = item.attr(field);
        int found = PySequence_Contains(wanted.ptr(), value.ptr());
        if (found < 0) {
            // An unhashable value cannot be in a set of hashable names.
            if (!PyErr_ExceptionMatches(PyExc_TypeError) || !PyAnySet_Check(wanted.ptr())) throw nb::python_error();
            PyErr_Clear();
            found = 0;
        }
        if (found) retained.append(item);
    }
    return retained;
}

// The `field` of each item, in order.
inline nb::list field_values(nb::handle items, const char *field) {
    nb::list values;
    for (nb::handle item : items) values.append(item.attr(field));
    return values;
}

// Each item's `model_dump()`, in order.
inline nb::list dump_items(nb::handle items) {
    nb::list dumped;
    for (nb::handle item : items) dumped.append(item.attr("model_dump")());
    return dumped;
}

}  // namespace vadrel_guardrail::safety
