// The signed function's object, shared by its type (signatures.cpp) and its binder (binding.cpp).
#pragma once

#include <cstddef>
#include <vector>

#include "pyhost/signatures.hpp"

namespace pyhost::signed_detail {

// A parameter as calls bind it; `**kwargs` is not one.
struct Parameter {
    PyObject *name;           // interned, owned
    bool keyword_only;
    PyObject *default_value;  // owned; null when the parameter is required
};

// The most parameters a signed function takes (the stubs' longest list is under it).
inline constexpr std::size_t kMaxParams = 16;

struct Signed {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *func;       // the nanobind function
    PyObject *module;     // `__module__` and `__qualname__`, which a nanobind function made outside a
    PyObject *qualname;   // class does not know
    PyObject *signature;  // built at the first read
    PyObject *standin;    // a Python function of the same signature, made at the first call that does not fit
    PyObject *code;       // an async generator function's `__code__`, made at the first read
    const StubFunction *row;            // the stubs' declaration
    std::vector<Parameter> *params;     // from `row`, in order
    std::size_t positional;             // how many of the first ones a call may give by position
    bool var_keyword;                   // whether the signature takes `**kwargs`
    BoundBody body;  // when set, called with the arguments bound here instead of through `func`
};

inline Signed *as_signed(PyObject *self) { return reinterpret_cast<Signed *>(self); }

// The signed function's vectorcall.
PyObject *call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames);

// The Python function that stands for `s` where Python's own behaviour is wanted (its binding's errors, the code
// object that says what calling it makes); borrowed, or null with an error set.
PyObject *standin_of(Signed *s);

}  // namespace pyhost::signed_detail
