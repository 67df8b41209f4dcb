// The type registry: each extension's own bridge types, made on first use, and what they share.
#include "pyasync/detail/internal.hpp"

#include <string>

namespace pyasync::detail {

namespace {

// "pyasync::Task ns::fetch(nanobind::object)" -> "fetch".
std::string short_name(const char *origin) {
    std::string_view sig = origin ? origin : "";
    size_t paren = sig.find('(');
    if (paren == std::string_view::npos) {
        return "<c++ coroutine>";
    }
    size_t begin = paren;
    while (begin > 0) {
        char c = sig[begin - 1];
        if (!(c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            break;
        }
        --begin;
    }
    return begin == paren ? std::string("<c++ coroutine>") : std::string(sig.substr(begin, paren - begin));
}

}  // namespace

void capture_names(Named &n, const PromiseBase *p) noexcept {
    n.origin = p->origin;
    n.cname = p->name;
    n.cqualname = p->qualname;
}

PyObject *name_of(Named &n, bool qual) noexcept {
    PyObject *&slot = qual ? n.qualname : n.name;
    if (!slot) {
        const char *given = qual ? n.cqualname : n.cname;
        slot = given ? PyUnicode_FromString(given) : PyUnicode_FromString(short_name(n.origin).c_str());
    }
    return slot;
}

PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

PyObject *frame_standin(Named &n) noexcept {
    PyObject *qualname = name_of(n, true);
    const char *text = qualname ? PyUnicode_AsUTF8(qualname) : nullptr;
    if (!text) return nullptr;
    try {
        nb::object code = nb::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty("<c++>", text, 0)));
        if (!code) throw nb::python_error();
        static PyObject *simple_namespace = nb::object(nb::module_::import_("types").attr("SimpleNamespace")).release().ptr();
        return nb::handle(simple_namespace)(nb::arg("f_code") = code, nb::arg("f_back") = nb::none(),
                                     nb::arg("f_lineno") = 0, nb::arg("f_locals") = nb::dict(),
                                     nb::arg("f_globals") = nb::dict())
            .release()
            .ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    return nullptr;
}

PyObject *self_iter(PyObject *self) { return Py_NewRef(self); }

namespace {

constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyTypeObject *make_type(const char *name, int size, unsigned long flags, PyType_Slot *slots) {
    PyType_Spec spec = {name, size, 0, static_cast<unsigned int>(flags), slots};
    PyObject *t = PyType_FromSpec(&spec);
    if (!t) {
        raise_owned(PyErr_GetRaisedException());
    }
    return reinterpret_cast<PyTypeObject *>(t);
}

Types make_types() {
    Types t;
    t.coro = make_type("pyasync.coroutine", sizeof(CoroObject), kFlags | Py_TPFLAGS_MANAGED_WEAKREF, coro_slots());
    t.shot = make_type("pyasync.one_shot_coroutine", sizeof(OneShotObject), kFlags | Py_TPFLAGS_MANAGED_WEAKREF,
                       shot_slots());
    t.gen = make_type("pyasync.async_generator", sizeof(GenObject), kFlags | Py_TPFLAGS_MANAGED_WEAKREF, gen_slots);
    gen_type_ = t.gen;
    t.op = make_type("pyasync.async_generator_step", sizeof(OpObject), kFlags, op_slots);
    return t;
}

}  // namespace

Types &types() {
    static Types t = make_types();
    return t;
}

PyTypeObject *gen_type_ = nullptr;

PyTypeObject *make_gen_type() noexcept {
    try {
        return types().gen;
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("pyasync: creating the async generator type");
        return nullptr;
    }
}

nb::object wrap_task(std::coroutine_handle<> h, TaskPromise *p) {
    PyTypeObject *t = types().coro;
    auto *c = reinterpret_cast<CoroObject *>(t->tp_alloc(t, 0));
    if (!c) {
        h.destroy();
        raise_owned(PyErr_GetRaisedException());
    }
    c->head.h = h;
    c->head.p = p;
    capture_names(c->names, p);
    return nb::steal(reinterpret_cast<PyObject *>(c));
}

nb::object wrap_gen(std::coroutine_handle<> h, GenPromise *p) {
    PyTypeObject *t = types().gen;
    auto *g = reinterpret_cast<GenObject *>(t->tp_alloc(t, 0));
    if (!g) {
        h.destroy();
        raise_owned(PyErr_GetRaisedException());
    }
    g->head.h = h;
    g->head.p = p;
    capture_names(g->names, p);
    return nb::steal(reinterpret_cast<PyObject *>(g));
}

Task ValueTaskPromise::get_return_object(std::source_location loc) noexcept {
    origin = loc.function_name();
    return Task(std::coroutine_handle<ValueTaskPromise>::from_promise(*this));
}

VoidTask VoidTaskPromise::get_return_object(std::source_location loc) noexcept {
    origin = loc.function_name();
    return VoidTask(std::coroutine_handle<VoidTaskPromise>::from_promise(*this));
}

AsyncGen GenPromise::get_return_object(std::source_location loc) noexcept {
    origin = loc.function_name();
    return AsyncGen(std::coroutine_handle<GenPromise>::from_promise(*this));
}

}  // namespace pyasync::detail

namespace pyasync {

nb::object AsyncGen::to_python() && {
    std::coroutine_handle<promise_type> h = std::exchange(h_, {});
    return detail::wrap_gen(h, &h.promise());
}

}  // namespace pyasync
