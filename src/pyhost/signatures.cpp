// Signed functions: thin callables around nanobind functions that show `inspect.signature` the stubs'
// parameters and annotations, and bind calls as the stubs declare them.
#include "pyhost/signatures.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "pyasync/caught.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"
#include "pyhost/signed.hpp"

namespace pyhost {
namespace {

using signed_detail::as_signed;
using signed_detail::Parameter;
using signed_detail::Signed;

// "module.qualname" -> its declaration, from every table registered in this extension.
std::unordered_map<std::string_view, const StubFunction *> &registry() {
    static std::unordered_map<std::string_view, const StubFunction *> functions;
    return functions;
}

// A stub module -> the names its imports bind.
std::unordered_multimap<std::string_view, const StubImport *> &stub_imports() {
    static std::unordered_multimap<std::string_view, const StubImport *> names;
    return names;
}

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
    Py_VISIT(as_signed(self)->standin);
    Py_VISIT(as_signed(self)->code);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int clear(PyObject *self) {
    Signed *s = as_signed(self);
    Py_CLEAR(s->func);
    Py_CLEAR(s->module);
    Py_CLEAR(s->qualname);
    Py_CLEAR(s->signature);
    Py_CLEAR(s->standin);
    Py_CLEAR(s->code);
    PyObject_ClearManagedDict(self);
    if (std::vector<Parameter> *params = std::exchange(s->params, nullptr)) {
        for (Parameter &p : *params) {
            Py_XDECREF(p.name);
            Py_XDECREF(p.default_value);
        }
        delete params;
    }
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

// Runs `read` for an attribute getter: a C++ exception becomes the Python error it stands for (through the
// library's one translation), and the result null.
template <class Read>
PyObject *guarded(Read &&read) {
    try {
        return read();
    } catch (...) {
        pyasync::current_error().restore();
    }
    return nullptr;
}

nb::object default_object(const StubDefault &d) {
    switch (d.kind) {
        case StubDefault::none: return nb::none();
        case StubDefault::boolean: return nb::bool_(d.integer_value != 0);
        case StubDefault::integer: return owned(PyLong_FromLongLong(d.integer_value));
        case StubDefault::real: return owned(PyFloat_FromDouble(d.real_value));
        case StubDefault::text: return nb::str(d.text_value);
        case StubDefault::required: break;
    }
    return nb::object();
}

nb::object text_or(const char *text, nb::handle otherwise) { return text ? nb::str(text) : nb::borrow(otherwise); }

// The `inspect.Signature` of the stubs' declaration.
nb::object build_signature(const StubFunction &row) {
    nb::object parameter = import_from("inspect", "Parameter");
    nb::object empty = parameter.attr("empty");
    nb::list parameters;
    for (const StubParameter *p = row.parameters; p != row.parameters + row.count; ++p) {
        const char *kind = p->kind == StubKind::positional     ? "POSITIONAL_OR_KEYWORD"
                           : p->kind == StubKind::keyword_only ? "KEYWORD_ONLY"
                                                               : "VAR_KEYWORD";
        nb::object default_value = default_object(p->default_value);
        parameters.append(parameter(p->name, parameter.attr(kind),
                                    nb::arg("default") = default_value.is_valid() ? default_value : empty,
                                    nb::arg("annotation") = text_or(p->annotation, empty)));
    }
    return import_from("inspect", "Signature")(parameters, nb::arg("return_annotation") = text_or(row.result, empty));
}

PyObject *get_signature(PyObject *self, void *) {
    return guarded([s = as_signed(self)] {
        if (!s->signature) s->signature = build_signature(*s->row).release().ptr();
        return Py_NewRef(s->signature);
    });
}

// An async generator function carries what `inspect.isasyncgenfunction` reads of a function-like object: the
// code object of the Python function that stands for it (whose binding answers its calls that do not fit),
// flagged as an async generator's. Other functions have none.
PyObject *get_code(PyObject *self, void *) {
    return guarded([s = as_signed(self)]() -> PyObject * {
        if (s->row->kind != StubFunctionKind::async_generator) raise(PyExc_AttributeError, "__code__");
        if (!s->code) {
            PyObject *standin = signed_detail::standin_of(s);
            if (!standin) throw nb::python_error();
            nb::object code = nb::handle(standin).attr("__code__");
            int flags = nb::cast<int>(code.attr("co_flags"));
            s->code = code.attr("replace")(nb::arg("co_flags") = flags | CO_ASYNC_GENERATOR).release().ptr();
        }
        return Py_NewRef(s->code);
    });
}

// `__defaults__` (`keyword_only` false) or `__kwdefaults__`, as a Python function of the signature holds them
// (a new dict each time: changing it changes nothing here).
PyObject *defaults_of(Signed *s, bool keyword_only) {
    return guarded([s, keyword_only]() -> PyObject * {
        nb::list positional;
        nb::dict keywords;
        for (const Parameter &p : *s->params) {
            if (!p.default_value) continue;
            if (p.keyword_only) {
                keywords[p.name] = nb::handle(p.default_value);
            } else {
                positional.append(nb::handle(p.default_value));
            }
        }
        if (keyword_only) return nb::len(keywords) ? keywords.release().ptr() : Py_NewRef(Py_None);
        return nb::len(positional) ? nb::tuple(positional).release().ptr() : Py_NewRef(Py_None);
    });
}
PyObject *get_defaults(PyObject *self, void *) { return defaults_of(as_signed(self), false); }
PyObject *get_kwdefaults(PyObject *self, void *) { return defaults_of(as_signed(self), true); }

// The stubs' annotations, as a Python function of the declaration holds them (texts, as under `from __future__
// import annotations`; a new dict each time).
PyObject *get_annotations(PyObject *self, void *) {
    return guarded([row = as_signed(self)->row] {
        nb::dict annotations;
        for (const StubParameter *p = row->parameters; p != row->parameters + row->count; ++p) {
            if (p->annotation) annotations[p->name] = nb::str(p->annotation);
        }
        if (row->result) annotations["return"] = nb::str(row->result);
        return annotations.release().ptr();
    });
}

// What the annotations are resolved against (`typing.get_type_hints` reads it): the module's namespace, with the
// names the stub's imports bind added (a new dict each time: the module's own is left as it is).
PyObject *get_globals(PyObject *self, void *) {
    return guarded([s = as_signed(self)] {
        nb::object module = owned(PyImport_Import(s->module));
        nb::dict names = nb::borrow<nb::dict>(owned(PyDict_Copy(module.attr("__dict__").ptr())));
        auto [first, last] = stub_imports().equal_range(nb::cast<std::string_view>(nb::handle(s->module)));
        for (auto it = first; it != last; ++it) {
            const StubImport &bound = *it->second;
            nb::object source = nb::module_::import_(bound.source);
            if (!bound.attribute) {
                names[bound.name] = source;
            } else if (nb::hasattr(source, bound.attribute)) {
                names[bound.name] = source.attr(bound.attribute);
            } else {  // a submodule not yet imported
                names[bound.name] = nb::module_::import_((std::string(bound.source) + "." + bound.attribute).c_str());
            }
        }
        return names.release().ptr();
    });
}

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
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
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
    // A method descriptor: `obj.method(...)` calls it with `obj` first, binding nothing. Its attributes, as a
    // Python function's, may be set (`inspect.markcoroutinefunction` sets one).
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyTypeObject *signed_type() {
    // One per extension, never released.
    static PyTypeObject *type =
        reinterpret_cast<PyTypeObject *>(owned(PyType_FromSpec(&function_type)).release().ptr());
    return type;
}

// A nanobind function is one of the type of those nanobind makes here through its `nb::cpp_function`, as a
// function or as a method: nanobind's documentation names no type of its functions.
bool is_nanobind_function(nb::handle f) {
    auto type_of = [](nb::object made) {  // kept for the process
        return reinterpret_cast<PyTypeObject *>(Py_NewRef(Py_TYPE(made.ptr())));
    };
    static PyTypeObject *const function = type_of(nb::cpp_function([] {}));
    static PyTypeObject *const method = type_of(nb::cpp_function([](nb::handle) {}, nb::is_method()));
    return Py_TYPE(f.ptr()) == function || Py_TYPE(f.ptr()) == method;
}

// The parameters of the stubs' declaration as calls bind them.
void take_parameters(Signed *s) {
    auto params = new std::vector<Parameter>();
    s->params = params;  // released by `clear` from here on
    for (const StubParameter *p = s->row->parameters; p != s->row->parameters + s->row->count; ++p) {
        if (p->kind == StubKind::var_keyword) {
            s->var_keyword = true;
            continue;
        }
        PyObject *name = PyUnicode_InternFromString(p->name);
        if (!name) throw nb::python_error();
        params->push_back({name, p->kind == StubKind::keyword_only, default_object(p->default_value).release().ptr()});
        s->positional += p->kind == StubKind::positional;
    }
    if (params->size() > signed_detail::kMaxParams) {
        raise(PyExc_TypeError, "%U: too many parameters", s->qualname);
    }
}

// The parameters of nanobind's rendering of `f` (`__nb_signature__`, the text nanobind gives its stub generator),
// as `spelled` writes a declaration's: names in order, "**" before the one that takes the other keywords. The
// bare "*" and "/" markers are left out: a signed function hands its nanobind function every value by position.
std::vector<std::string> rendered_parameters(nb::handle f) {
    nb::tuple overloads = nb::borrow<nb::tuple>(f.attr("__nb_signature__"));
    std::string text = nb::cast<std::string>(nb::borrow<nb::tuple>(overloads[0])[0]);
    std::vector<std::string> names;
    std::string part;
    auto flush = [&] {  // a parameter's leading stars and name; nothing for a marker
        const std::size_t start = std::min(part.find_first_not_of(' '), part.size());
        const std::size_t stars = std::min(part.find_first_not_of('*', start), part.size());
        const std::size_t end = std::min(
            part.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_", stars),
            part.size());
        if (end > stars) names.push_back(part.substr(start, end - start));
        part.clear();
    };
    int depth = 0;
    char quote = 0;
    for (std::size_t i = text.find('(') + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if ((c == ')' || c == ']' || c == '}') && depth-- == 0) {
            break;
        } else if (c == ',' && depth == 0) {
            flush();
            continue;
        }
        part += c;
    }
    flush();
    return names;
}

std::string spelled(const std::vector<std::string> &names) {
    std::string text = "(";
    for (const std::string &name : names) text += (text.size() > 1 ? ", " : "") + name;
    return text + ")";
}

// Refuses a nanobind function whose parameters are not the stubs' (names, order, which takes `**kwargs`): the
// signed function would hand its values to the wrong ones.
void check_against_stubs(nb::handle f, const StubFunction &row) {
    std::vector<std::string> declared;
    for (const StubParameter *p = row.parameters; p != row.parameters + row.count; ++p) {
        declared.push_back(p->kind == StubKind::var_keyword ? std::string("**") + p->name : p->name);
    }
    std::vector<std::string> native = rendered_parameters(f);
    if (declared != native) {
        raise(PyExc_TypeError, "%s: the stubs declare %s but the native function takes %s", row.key,
              spelled(declared).c_str(), spelled(native).c_str());
    }
}

}  // namespace

void StubSignatures::add(const StubFunction *rows, std::size_t count, const StubImport *imports,
                         std::size_t bound) {
    for (std::size_t i = 0; i < count; ++i) {
        registry().emplace(rows[i].key, &rows[i]);
    }
    for (std::size_t i = 0; i < bound; ++i) {
        stub_imports().emplace(imports[i].module, &imports[i]);
    }
}

nb::object signed_function(nb::handle f, nb::handle module, nb::handle qualname) {
    if (!is_nanobind_function(f)) {
        return nb::borrow(f);
    }
    std::string key = nb::cast<std::string>(nb::str("{}.{}").format(module, qualname));
    auto found = registry().find(key);
    if (found == registry().end()) raise(PyExc_TypeError, "the stubs do not declare %s", key.c_str());
    PyTypeObject *type = signed_type();
    nb::object function = owned(type->tp_alloc(type, 0));  // zeroed, and tracked by the collector
    Signed *s = as_signed(function.ptr());
    s->vectorcall = signed_detail::call;
    s->func = Py_NewRef(f.ptr());
    s->module = Py_NewRef(module.ptr());
    s->qualname = Py_NewRef(qualname.ptr());
    check_against_stubs(f, *found->second);
    s->row = found->second;
    take_parameters(s);
    if (s->row->kind == StubFunctionKind::coroutine) import_from("inspect", "markcoroutinefunction")(function);
    return function;
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

void bind_arguments_here(nb::handle function, BoundBody body) {
    if (!PyObject_TypeCheck(function.ptr(), signed_type())) raise(PyExc_TypeError, "not a signed function");
    as_signed(function.ptr())->body = body;
}

}  // namespace pyhost
