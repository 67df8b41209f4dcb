// Signed functions: thin callables around nanobind functions that show `inspect.signature` the stubs'
// parameters and annotations, and pass calls straight through.
#include "pyhost/signatures.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "pyasync/caught.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"

namespace pyhost {
namespace {

// "module.qualname" -> its rows, from every table registered in this extension.
std::unordered_map<std::string_view, std::vector<const StubAnnotation *>> &annotation_registry() {
    static std::unordered_map<std::string_view, std::vector<const StubAnnotation *>> registry;
    return registry;
}

// "module.qualname" of the functions that the stubs declare `async def`.
std::unordered_set<std::string_view> &coroutine_registry() {
    static std::unordered_set<std::string_view> registry;
    return registry;
}

std::string key_of(PyObject *module, PyObject *qualname) {
    return nb::cast<std::string>(nb::str("{}.{}").format(nb::handle(module), nb::handle(qualname)));
}

// A parameter as a call binds it.
struct Param {
    nb::object name;
    bool positional, keyword;
    nb::object default_value;  // unset when the parameter is required
};

// A signature's parameters, `*args` and `**kwargs` apart.
struct Params {
    std::vector<Param> list;
    std::size_t positional = 0;  // how many of the first ones a call may give by position
    bool var_positional = false, var_keyword = false;
};

struct Signed {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *func;       // the nanobind function
    PyObject *module;     // `__module__` and `__qualname__`, which a nanobind function made outside a
    PyObject *qualname;   // class does not know
    PyObject *signature;  // built at the first read
    PyObject *code;       // an async generator function's `__code__`, made at the first read
    struct Params *params;  // the signature's parameters as calls bind them, read from it at first use
    BoundBody body;         // when set, called with the arguments bound here instead of through `func`
};

Signed *as_signed(PyObject *self) { return reinterpret_cast<Signed *>(self); }

// Binds to an instance as a Python function does; read on the class it stays itself.
PyObject *bind(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_signed(self)->func);
    Py_VISIT(as_signed(self)->module);
    Py_VISIT(as_signed(self)->qualname);
    Py_VISIT(as_signed(self)->signature);
    Py_VISIT(as_signed(self)->code);
    if (const Params *params = as_signed(self)->params) {
        for (const Param &p : params->list) {
            Py_VISIT(p.default_value.ptr());
        }
    }
    return 0;
}

int clear(PyObject *self) {
    Py_CLEAR(as_signed(self)->func);
    Py_CLEAR(as_signed(self)->module);
    Py_CLEAR(as_signed(self)->qualname);
    Py_CLEAR(as_signed(self)->signature);
    Py_CLEAR(as_signed(self)->code);
    delete std::exchange(as_signed(self)->params, nullptr);
    return 0;
}

void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *repr(PyObject *self) {
    return PyUnicode_FromFormat("<native function %U.%U>", as_signed(self)->module, as_signed(self)->qualname);
}

// nanobind renders a binding as "def name(a: T, b: T = \0, *, c: T = \1, **kwargs) -> R", where
// "\N" stands for the N-th entry of the defaults it reports beside the text.
struct Rendered {
    std::string_view params;
    std::string_view result;
};

Rendered split_rendering(std::string_view text) {
    size_t open = text.find('(');
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        char c = text[i];
        if (c == '(' || c == '[' || c == '{') ++depth;
        if (c == ')' || c == ']' || c == '}') --depth;
        if (depth == 0) {
            std::string_view rest = text.substr(i + 1);
            size_t arrow = rest.find("-> ");
            return {text.substr(open + 1, i - open - 1),
                    arrow == std::string_view::npos ? std::string_view() : rest.substr(arrow + 3)};
        }
    }
    raise(PyExc_ValueError, "unbalanced nanobind signature: %s", std::string(text).c_str());
}

std::vector<std::string_view> split_params(std::string_view params) {
    std::vector<std::string_view> out;
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i <= params.size(); ++i) {
        char c = i < params.size() ? params[i] : ',';
        if (c == '(' || c == '[' || c == '{') ++depth;
        if (c == ')' || c == ']' || c == '}') --depth;
        if (c == ',' && depth == 0) {
            std::string_view item = params.substr(start, i - start);
            while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
            while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
            if (!item.empty()) out.push_back(item);
            start = i + 1;
        }
    }
    return out;
}

struct InspectNames {
    nb::object parameter, signature, empty;
    nb::object positional_only, positional_or_keyword, var_positional, keyword_only, var_keyword;
};

const InspectNames &inspect_names() {
    static const InspectNames *names = [] {
        nb::object parameter = import_from("inspect", "Parameter");
        return new InspectNames{parameter,
                                import_from("inspect", "Signature"),
                                parameter.attr("empty"),
                                parameter.attr("POSITIONAL_ONLY"),
                                parameter.attr("POSITIONAL_OR_KEYWORD"),
                                parameter.attr("VAR_POSITIONAL"),
                                parameter.attr("KEYWORD_ONLY"),
                                parameter.attr("VAR_KEYWORD")};
    }();
    return *names;
}

// The `inspect.Signature` of a nanobind function with one overload (None for several: no single
// signature describes them), annotated from the stubs' row of `key`.
nb::object build_signature(nb::handle func, std::string_view key) {
    nb::tuple overloads = nb::borrow<nb::tuple>(func.attr("__nb_signature__"));
    if (nb::len(overloads) != 1) {
        return nb::none();
    }
    nb::tuple rendering = nb::borrow<nb::tuple>(overloads[0]);
    std::string text = nb::cast<std::string>(rendering[0]);
    nb::object defaults = rendering[2];
    const InspectNames &in = inspect_names();

    struct Param {
        std::string name;
        nb::object kind, default_value;
    };
    std::vector<Param> params;
    bool keyword_only = false;
    for (std::string_view item : split_params(split_rendering(text).params)) {
        if (item == "/") {
            for (Param &p : params) p.kind = in.positional_only;
            continue;
        }
        if (item == "*") {
            keyword_only = true;
            continue;
        }
        nb::object kind = keyword_only ? in.keyword_only : in.positional_or_keyword;
        if (item.starts_with("**")) {
            kind = in.var_keyword;
            item.remove_prefix(2);
        } else if (item.starts_with("*")) {
            kind = in.var_positional;
            keyword_only = true;
            item.remove_prefix(1);
        }
        size_t end = item.find_first_of(":=");
        std::string_view name = item.substr(0, end);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        nb::object default_value = in.empty;
        if (size_t mark = item.find("= \\"); mark != std::string_view::npos) {
            default_value = defaults[std::stoul(std::string(item.substr(mark + 3)))];
        }
        params.push_back({std::string(name), kind, default_value});
    }

    std::unordered_map<std::string_view, const char *> annotations;
    if (auto found = annotation_registry().find(key); found != annotation_registry().end()) {
        for (const StubAnnotation *row : found->second) annotations[row->parameter] = row->annotation;
    }
    auto annotation = [&](std::string_view name) -> nb::object {
        auto found = annotations.find(name);
        return found == annotations.end() ? in.empty : nb::str(found->second);
    };
    nb::list parameters;
    for (const Param &p : params) {
        parameters.append(in.parameter(p.name, p.kind, nb::arg("default") = p.default_value,
                                       nb::arg("annotation") = annotation(p.name)));
    }
    return in.signature(parameters, nb::arg("return_annotation") = annotation("return"));
}

// Coroutine functions say so, as `inspect.markcoroutinefunction` would mark them: those the stubs
// declare `async def`, and those whose binding nanobind shows returning a bridge coroutine.
bool is_coroutine_function(Signed *s) {
    if (coroutine_registry().contains(key_of(s->module, s->qualname))) return true;
    nb::tuple overloads = nb::borrow<nb::tuple>(nb::handle(s->func).attr("__nb_signature__"));
    if (nb::len(overloads) != 1) return false;
    std::string text = nb::cast<std::string>(nb::borrow<nb::tuple>(overloads[0])[0]);
    return split_rendering(text).result == "collections.abc.Coroutine";
}

// Whether nanobind shows the binding returning a bridge async generator.
bool is_async_generator_function(Signed *s) {
    nb::tuple overloads = nb::borrow<nb::tuple>(nb::handle(s->func).attr("__nb_signature__"));
    if (nb::len(overloads) != 1) return false;
    std::string text = nb::cast<std::string>(nb::borrow<nb::tuple>(overloads[0])[0]);
    return split_rendering(text).result == "collections.abc.AsyncGenerator";
}

// Runs `read` for an attribute getter: a C++ exception becomes the Python error it stands for, and the
// result null.
template <class Read>
auto guarded(Read &&read) -> decltype(read()) {
    try {
        return read();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    }
    return nullptr;
}

// The signature, built at the first read; null with an error set when it cannot be built.
PyObject *signature_of(Signed *s) {
    return guarded([s] {
        if (!s->signature) {
            s->signature = build_signature(s->func, key_of(s->module, s->qualname)).release().ptr();
        }
        return s->signature;
    });
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": names listed as Python lists them in its call errors.
std::string listed(const std::vector<std::string> &names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

// `text` interned, as the names of keywords in a caller's source are.
nb::object interned(nb::handle text) {
    PyObject *name = Py_NewRef(text.ptr());
    PyUnicode_InternInPlace(&name);
    return nb::steal(name);
}

// The signature's parameters, read from it at the first use; null with an error set when it cannot be built,
// and for a function with several overloads (no single signature describes them).
const Params *params_of(Signed *s) {
    if (s->params) return s->params;
    PyObject *signature = signature_of(s);
    if (!signature) return nullptr;
    if (signature == Py_None) {
        PyErr_Format(PyExc_TypeError, "%U() has no single signature", s->qualname);
        return nullptr;
    }
    return guarded([s, signature]() -> const Params * {
        const InspectNames &in = inspect_names();
        auto params = std::make_unique<Params>();
        for (nb::handle parameter : nb::handle(signature).attr("parameters").attr("values")()) {
            nb::object kind = parameter.attr("kind");
            if (kind.is(in.var_positional)) {
                params->var_positional = true;
                continue;
            }
            if (kind.is(in.var_keyword)) {
                params->var_keyword = true;
                continue;
            }
            nb::object default_value = parameter.attr("default");
            bool positional = !kind.is(in.keyword_only);
            params->positional += positional;
            params->list.push_back({interned(parameter.attr("name")), positional, !kind.is(in.positional_only),
                                    default_value.is(in.empty) ? nb::object() : default_value});
        }
        s->params = params.release();
        return s->params;
    });
}

// The index of the parameter that may be given as the keyword `name`, or the number of parameters for none.
std::size_t keyword_parameter(const Params &params, PyObject *name) {
    for (std::size_t i = 0; i < params.list.size(); ++i) {
        if (params.list[i].keyword && params.list[i].name.ptr() == name) return i;
    }
    // Keywords spelled in the caller's source are interned as the names are; others compare by text.
    for (std::size_t i = 0; i < params.list.size(); ++i) {
        if (params.list[i].keyword && PyUnicode_Compare(params.list[i].name.ptr(), name) == 0) return i;
    }
    return params.list.size();
}

// What is wrong with a call's arguments, in the words a Python function uses ("f() missing 1 required
// positional argument: 'x'", "got multiple values for argument 'x'", "got an unexpected keyword argument 'x'",
// "takes 2 positional arguments but 3 were given"), in the order Python finds them; empty when the arguments
// fit the signature, or when it has none.
std::string call_error(Signed *s, Py_ssize_t nargs, PyObject *kwnames) {
    const Params *signature = params_of(s);
    if (!signature) {
        PyErr_Clear();
        return {};
    }
    const std::vector<Param> &params = signature->list;
    const std::string name = nb::cast<std::string>(nb::str(nb::handle(s->qualname))) + "()";
    std::size_t positional = signature->positional, required_positional = 0;
    for (const Param &p : params) {
        required_positional += p.positional && !p.default_value.is_valid();
    }
    if (!signature->var_positional && static_cast<std::size_t>(nargs) > positional) {
        std::string takes = required_positional == positional
                                ? std::to_string(positional)
                                : "from " + std::to_string(required_positional) + " to " + std::to_string(positional);
        return name + " takes " + takes + " positional argument" + (positional == 1 ? "" : "s") + " but " +
               std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
    }
    std::vector<bool> bound(params.size(), false);
    for (std::size_t i = 0; i < params.size() && i < static_cast<std::size_t>(nargs); ++i) {
        bound[i] = params[i].positional;
    }
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        nb::handle keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = keyword_parameter(*signature, keyword.ptr());
        if (i == params.size()) {
            if (signature->var_keyword) continue;
            return name + " got an unexpected keyword argument '" + nb::cast<std::string>(keyword) + "'";
        }
        if (bound[i]) return name + " got multiple values for argument '" + nb::cast<std::string>(keyword) + "'";
        bound[i] = true;
    }
    for (bool keyword_only : {false, true}) {
        std::vector<std::string> missing;
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (!params[i].default_value.is_valid() && !bound[i] && params[i].positional != keyword_only) {
                missing.push_back(nb::cast<std::string>(params[i].name));
            }
        }
        if (!missing.empty()) {
            return name + " missing " + std::to_string(missing.size()) + " required " +
                   (keyword_only ? "keyword-only" : "positional") + " argument" + (missing.size() == 1 ? "" : "s") +
                   ": " + listed(missing);
        }
    }
    return {};
}

// Raises the TypeError that a Python function raises for arguments that do not fit its signature; `error`,
// when given, is what the binding itself raised and stands when the arguments fit.
PyObject *call_failed(Signed *s, Py_ssize_t nargs, PyObject *kwnames, PyObject *error = nullptr) {
    std::string message;
    try {
        message = call_error(s, nargs, kwnames);
    } catch (nb::python_error &) {
    } catch (const std::exception &) {
    }
    PyErr_Clear();
    if (message.empty() && error) {
        PyErr_SetRaisedException(error);
        return nullptr;
    }
    Py_XDECREF(error);
    PyErr_SetString(PyExc_TypeError, message.empty() ? "arguments do not fit the signature" : message.c_str());
    return nullptr;
}

// Binds the arguments as a Python function binds them and calls the function's own body.
PyObject *call_body(Signed *s, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Params *params = params_of(s);
    if (!params) return nullptr;
    std::array<nb::handle, kMaxBoundParams> bound{};  // the caller's arguments and the signature's defaults
    const std::size_t count = params->list.size();
    bool fits = static_cast<std::size_t>(nargs) <= params->positional;
    for (Py_ssize_t i = 0; fits && i < nargs; ++i) {
        bound[static_cast<std::size_t>(i)] = args[i];
    }
    try {
        nb::object extra;  // the keywords that name no parameter
        const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; fits && k < keywords; ++k) {
            PyObject *name = PyTuple_GET_ITEM(kwnames, k);
            std::size_t i = keyword_parameter(*params, name);
            if (i < count) {
                fits = !bound[i].is_valid();
                bound[i] = args[nargs + k];
            } else if ((fits = params->var_keyword)) {
                if (!extra.is_valid()) extra = owned(PyDict_New());
                status(PyDict_SetItem(extra.ptr(), name, args[nargs + k]));
            }
        }
        for (std::size_t i = 0; fits && i < count; ++i) {
            if (!bound[i].is_valid()) {
                bound[i] = params->list[i].default_value;
                fits = bound[i].is_valid();
            }
        }
        if (!fits) return call_failed(s, nargs, kwnames);
        return s->body(bound.data(), extra).release().ptr();
    } catch (...) {
        pyasync::current_error().restore();
        return nullptr;
    }
}

PyObject *forward(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Signed *s = as_signed(self);
    if (s->body) return call_body(s, args, PyVectorcall_NARGS(nargsf), kwnames);
    PyObject *result = PyObject_Vectorcall(s->func, args, nargsf, kwnames);
    if (result || !PyErr_ExceptionMatches(PyExc_TypeError)) return result;
    // nanobind answers arguments that fit no overload with the list of the overloads it has; a Python function
    // says what is wrong. Only the failed call pays for looking; a TypeError raised by the body stands.
    return call_failed(s, PyVectorcall_NARGS(nargsf), kwnames, PyErr_GetRaisedException());
}

PyObject *get_signature(PyObject *self, void *) { return Py_XNewRef(signature_of(as_signed(self))); }

PyObject *get_coroutine_marker(PyObject *self, void *) {
    return guarded([self]() -> PyObject * {
        if (is_coroutine_function(as_signed(self))) {
            return import_from("inspect", "_is_coroutine_mark").release().ptr();
        }
        raise(PyExc_AttributeError, "_is_coroutine_marker");
    });
}

// An async generator function carries what `inspect.isasyncgenfunction` reads of a function-like object: a
// code object flagged as an async generator's (an empty one, which raises if it is ever run) and its
// defaults, as a Python function's `__defaults__` and `__kwdefaults__` hold them. Other functions have none.
PyObject *get_code(PyObject *self, void *) {
    return guarded([self]() -> PyObject * {
        Signed *s = as_signed(self);
        if (!is_async_generator_function(s)) raise(PyExc_AttributeError, "__code__");
        if (!s->code) {
            std::string module = nb::cast<std::string>(nb::str(nb::handle(s->module)));
            std::string name = nb::cast<std::string>(nb::handle(s->func).attr("__name__"));
            nb::object empty = owned(reinterpret_cast<PyObject *>(PyCode_NewEmpty(module.c_str(), name.c_str(), 0)));
            int flags = nb::cast<int>(empty.attr("co_flags"));
            s->code = empty.attr("replace")(nb::arg("co_flags") = flags | CO_ASYNC_GENERATOR).release().ptr();
        }
        return Py_NewRef(s->code);
    });
}

// `__defaults__` (`keyword_only` false) or `__kwdefaults__`, from the signature, for an async generator function.
PyObject *defaults_of(PyObject *self, bool keyword_only) {
    return guarded([self, keyword_only]() -> PyObject * {
        Signed *s = as_signed(self);
        if (!is_async_generator_function(s)) raise(PyExc_AttributeError, keyword_only ? "__kwdefaults__" : "__defaults__");
        const Params *params = params_of(s);
        if (!params) throw nb::python_error();
        nb::list positional;
        nb::dict keywords;
        for (const Param &p : params->list) {
            if (!p.default_value.is_valid()) continue;
            if (p.positional) {
                positional.append(p.default_value);
            } else {
                keywords[p.name] = p.default_value;
            }
        }
        if (keyword_only) return nb::len(keywords) ? keywords.release().ptr() : Py_NewRef(Py_None);
        return nb::len(positional) ? nb::tuple(positional).release().ptr() : Py_NewRef(Py_None);
    });
}
PyObject *get_defaults(PyObject *self, void *) { return defaults_of(self, false); }
PyObject *get_kwdefaults(PyObject *self, void *) { return defaults_of(self, true); }

// Pickled, and copied, by reference, as a Python function is: by its qualified name in its module.
PyObject *reduce(PyObject *self, PyObject *) { return Py_NewRef(as_signed(self)->qualname); }

PyObject *get_name(PyObject *self, void *) { return PyObject_GetAttrString(as_signed(self)->func, "__name__"); }

PyObject *get_module(PyObject *self, void *) { return Py_NewRef(as_signed(self)->module); }

PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_signed(self)->qualname); }

// The binding's own documentation, without the rendering of its signature that nanobind puts first.
PyObject *get_doc(PyObject *self, void *) {
    return guarded([self] {
        nb::tuple overloads = nb::borrow<nb::tuple>(nb::handle(as_signed(self)->func).attr("__nb_signature__"));
        if (nb::len(overloads) == 1) {
            return nb::borrow<nb::tuple>(overloads[0])[1].inc_ref().ptr();
        }
        return PyObject_GetAttrString(as_signed(self)->func, "__doc__");
    });
}

PyGetSetDef getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", get_coroutine_marker, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Signed, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_methods, methods},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(bind)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_repr, reinterpret_cast<void *>(repr)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {0, nullptr},
};

PyType_Spec function_type = {
    "pyhost.native_function",
    sizeof(Signed),
    0,
    // A method descriptor: `obj.method(...)` calls it with `obj` first, binding nothing.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyTypeObject *signed_type() {
    // One per extension, never released.
    static PyTypeObject *type =
        reinterpret_cast<PyTypeObject *>(owned(PyType_FromSpec(&function_type)).release().ptr());
    return type;
}

bool is_nanobind_function(nb::handle f) {
    const char *name = Py_TYPE(f.ptr())->tp_name;
    return std::strcmp(name, "nanobind.nb_func") == 0 || std::strcmp(name, "nanobind.nb_method") == 0;
}

}  // namespace

void StubAnnotations::add(const StubAnnotation *rows, std::size_t count, const char *const *coroutines,
                          std::size_t coroutine_count) {
    for (std::size_t i = 0; i < count; ++i) {
        annotation_registry()[rows[i].function].push_back(&rows[i]);
    }
    for (std::size_t i = 0; i < coroutine_count; ++i) {
        if (coroutines[i]) coroutine_registry().insert(coroutines[i]);
    }
}

nb::object signed_function(nb::handle f, nb::handle module, nb::handle qualname) {
    if (!is_nanobind_function(f)) {
        return nb::borrow(f);
    }
    Signed *s = PyObject_GC_New(Signed, signed_type());
    if (!s) throw nb::python_error();
    s->vectorcall = forward;
    s->func = Py_NewRef(f.ptr());
    s->module = Py_NewRef(module.ptr());
    s->qualname = Py_NewRef(qualname.ptr());
    s->signature = nullptr;
    s->code = nullptr;
    s->params = nullptr;
    s->body = nullptr;
    PyObject_GC_Track(s);
    return nb::steal(reinterpret_cast<PyObject *>(s));
}

void sign_functions(nb::handle module) {
    nb::object name = module.attr("__name__");
    nb::dict namespace_ = nb::borrow<nb::dict>(module.attr("__dict__"));
    for (nb::handle key : nb::list(namespace_.keys())) {
        nb::object value = namespace_[key];
        if (nb::cast<std::string_view>(key).starts_with('_') || !is_nanobind_function(value)) continue;
        if (!value.attr("__module__").equal(name)) continue;  // imported from elsewhere
        namespace_[key] = signed_function(value, name, key);
    }
}

}  // namespace pyhost

namespace pyhost {

void bind_arguments_here(nb::handle function, BoundBody body) {
    if (!PyObject_TypeCheck(function.ptr(), signed_type())) raise(PyExc_TypeError, "not a signed function");
    Signed *s = as_signed(function.ptr());
    const Params *params = params_of(s);
    if (!params) throw nb::python_error();
    if (params->list.size() > kMaxBoundParams || params->var_positional) {
        raise(PyExc_TypeError, "%s: too many parameters to bind here", nb::cast<std::string>(nb::str(nb::handle(s->qualname))).c_str());
    }
    s->body = body;
}

}  // namespace pyhost
