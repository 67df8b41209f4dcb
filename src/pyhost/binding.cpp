// The signed functions' binder: a call's arguments matched to the stubs' signature as CPython matches them for
// a Python function, and, for a call that does not fit, CPython's own answer, from a Python function of the
// same signature bound with the same arguments.
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <nanobind/stl/string.h>

#include "pyasync/caught.hpp"
#include "pyhost/raising.hpp"
#include "pyhost/signed.hpp"

namespace pyhost::signed_detail {
namespace {

// Strong references to all that a call hands over, held until it returns: the callee, the arguments and the
// keywords' names. Binding runs Python code (a keyword's `__eq__` or `__hash__`) that may drop the caller's own
// references, a `functools.partial` reset under its call for one, as it may under a Python function's.
class Held {
public:
    Held(PyObject *self, PyObject *const *args, Py_ssize_t count, PyObject *kwnames)
        : self_(Py_NewRef(self)), args_(args), count_(count), kwnames_(Py_XNewRef(kwnames)) {
        for (Py_ssize_t i = 0; i < count_; ++i) Py_INCREF(args_[i]);
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held() {
        for (Py_ssize_t i = 0; i < count_; ++i) Py_DECREF(args_[i]);
        Py_XDECREF(kwnames_);
        Py_DECREF(self_);
    }

private:
    PyObject *self_;
    PyObject *const *args_;
    Py_ssize_t count_;
    PyObject *kwnames_;
};

// Binds the arguments as CPython binds a Python function's, running the same Python code in the same order
// (each keyword compared by identity, then by `__eq__`, with each parameter; an unmatched one hashed into
// `**kwargs`). 1 when they fit: `values` holds one per parameter (the held arguments and the table's defaults,
// borrowed), `extra` a new dict of the unmatched keywords when there are any. 0 when they do not fit, -1 with
// the error set when a keyword's comparison or hash raised.
int bind(Signed *s, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **values,
         PyObject **extra) {
    const std::vector<Parameter> &params = *s->params;
    const std::size_t count = params.size();
    if (static_cast<std::size_t>(nargs) > s->positional) return 0;
    // Which parameters have a value, as bits: `values` is only written until the call.
    std::uint32_t given = (std::uint32_t{1} << nargs) - 1;
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(name)) return 0;
        std::size_t j = 0;
        while (j < count && params[j].name != name) ++j;
        if (j == count) {
            for (j = 0; j < count; ++j) {
                int equal = PyObject_RichCompareBool(name, params[j].name, Py_EQ);
                if (equal < 0) return -1;
                if (equal) break;
            }
        }
        if (j == count) {
            if (!s->var_keyword) return 0;
            if (!*extra && !(*extra = PyDict_New())) return -1;
            if (PyDict_SetItem(*extra, name, args[nargs + k]) < 0) return -1;
        } else if (given >> j & 1) {
            return 0;
        } else {
            given |= std::uint32_t{1} << j;
            values[j] = args[nargs + k];
        }
    }
    for (std::size_t j = 0; j < count; ++j) {
        if (given >> j & 1) continue;
        if (!params[j].default_value) return 0;
        values[j] = params[j].default_value;
    }
    return 1;
}

PyObject *run_body(Signed *s, PyObject *const *values, PyObject *extra) {
    // Only as many handles as there are parameters: clearing a whole array costs more than the binding.
    alignas(nb::handle) unsigned char storage[sizeof(nb::handle) * kMaxParams];
    nb::handle *params = reinterpret_cast<nb::handle *>(storage);
    for (std::size_t i = 0; i < s->params->size(); ++i) new (params + i) nb::handle(values[i]);
    try {
        return s->body(params, extra ? nb::handle(extra) : nb::handle()).release().ptr();
    } catch (...) {
        pyasync::current_error().restore();
        return nullptr;
    }
}

// Calls the nanobind function with the bound values: by position those that may be given so, the keyword-only
// ones and the unmatched keywords by name.
PyObject *run_binding(Signed *s, PyObject *const *values, PyObject *extra) {
    const std::size_t count = s->params->size();
    const Py_ssize_t extras = extra ? PyDict_GET_SIZE(extra) : 0;
    const Py_ssize_t keywords = static_cast<Py_ssize_t>(count - s->positional) + extras;
    if (keywords == 0) return PyObject_Vectorcall(s->func, values, s->positional, nullptr);
    PyObject *kwnames = PyTuple_New(keywords);
    if (!kwnames) return nullptr;
    std::vector<PyObject *> stack(values, values + count);
    Py_ssize_t k = 0;
    for (std::size_t j = s->positional; j < count; ++j) {
        PyTuple_SET_ITEM(kwnames, k++, Py_NewRef((*s->params)[j].name));
    }
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (extra && PyDict_Next(extra, &position, &key, &value)) {  // the dict is ours: no Python code runs
        PyTuple_SET_ITEM(kwnames, k++, Py_NewRef(key));
        stack.push_back(value);
    }
    PyObject *result = PyObject_Vectorcall(s->func, stack.data(), s->positional, kwnames);
    Py_DECREF(kwnames);
    return result;
}

// A call that does not fit raises what the stand-in raises for the same arguments. Its body (an empty code
// object's, which raises) runs only if a keyword that compared one way here compares the other way there.
PyObject *misfit(Signed *s, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *standin = standin_of(s);
    return standin ? PyObject_Vectorcall(standin, args, nargsf, kwnames) : nullptr;
}

}  // namespace

PyObject *call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Signed *s = as_signed(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Held held(self, args, nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0), kwnames);
    PyObject *values[kMaxParams];  // set by `bind`
    PyObject *extra = nullptr;
    PyObject *result = nullptr;
    switch (bind(s, args, nargs, kwnames, values, &extra)) {
        case 1:
            result = s->body ? run_body(s, values, extra) : run_binding(s, values, extra);
            break;
        case 0:
            result = misfit(s, args, nargsf, kwnames);
            break;
        default:
            break;
    }
    Py_XDECREF(extra);
    return result;
}

// A Python function made without source: an empty code object given the signature's counts and names, with
// the signature's defaults, `__qualname__` and `__module__`. CPython binds a call to it exactly as to the
// function the stubs declare.
PyObject *standin_of(Signed *s) {
    if (s->standin) return s->standin;
    try {
        const std::vector<Parameter> &params = *s->params;
        std::string module = nb::cast<std::string>(nb::handle(s->module));
        nb::object name = nb::str(nb::handle(s->qualname)).attr("rpartition")(".")[2];
        nb::object code = owned(reinterpret_cast<PyObject *>(
            PyCode_NewEmpty(module.c_str(), nb::cast<std::string>(name).c_str(), 0)));
        nb::list names, defaults;
        nb::dict kwdefaults;
        for (const Parameter &p : params) {
            names.append(nb::handle(p.name));
            if (p.default_value && p.keyword_only) kwdefaults[p.name] = nb::handle(p.default_value);
            if (p.default_value && !p.keyword_only) defaults.append(nb::handle(p.default_value));
        }
        if (s->var_keyword) {
            for (const StubParameter *p = s->row->parameters; p != s->row->parameters + s->row->count; ++p) {
                if (p->kind == StubKind::var_keyword) names.append(nb::str(p->name));
            }
        }
        code = code.attr("replace")(
            nb::arg("co_argcount") = s->positional, nb::arg("co_kwonlyargcount") = params.size() - s->positional,
            nb::arg("co_nlocals") = nb::len(names), nb::arg("co_varnames") = nb::tuple(names),
            nb::arg("co_flags") = CO_OPTIMIZED | CO_NEWLOCALS | (s->var_keyword ? CO_VARKEYWORDS : 0),
            nb::arg("co_name") = name, nb::arg("co_qualname") = nb::handle(s->qualname));
        nb::dict globals;
        globals["__name__"] = nb::handle(s->module);
        nb::object function = owned(PyFunction_New(code.ptr(), globals.ptr()));
        if (nb::len(defaults)) status(PyFunction_SetDefaults(function.ptr(), nb::tuple(defaults).ptr()));
        if (nb::len(kwdefaults)) status(PyFunction_SetKwDefaults(function.ptr(), kwdefaults.ptr()));
        nb::setattr(function, "__qualname__", nb::handle(s->qualname));
        s->standin = function.release().ptr();
        return s->standin;
    } catch (...) {
        pyasync::current_error().restore();
    }
    return nullptr;
}

}  // namespace pyhost::signed_detail
