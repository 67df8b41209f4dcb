// `_pyasync_testing`: C++ coroutines that exercise the bridge from Python tests and benchmarks.
#include <stdexcept>
#include <string>
#include <typeinfo>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "pyasync/one_shot.hpp"
#include "pyasync/pyasync.hpp"
#include "pyhost/signatures.hpp"

namespace nb = nanobind;

namespace {

// Appends `tag` to `log` when destroyed: shows that a frame's locals were unwound.
class Guard {
public:
    Guard(nb::object log, const char *tag) : log_(std::move(log)), tag_(tag) {}
    Guard(const Guard &) = delete;
    ~Guard() {
        try {
            log_.attr("append")(tag_);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("Guard");
        }
    }

private:
    nb::object log_;
    const char *tag_;
};

nb::object asyncio_sleep0() { return nb::module_::import_("asyncio").attr("sleep")(0); }

std::string type_name(const nb::python_error &e) { return nb::cast<std::string>(e.type().attr("__name__")); }

// --- coroutines --------------------------------------------------------------------------------

pyasync::Task echo_await(nb::object aw) {
    nb::object r = co_await aw;
    co_return r;
}

pyasync::Task await_all(nb::list aws) {
    nb::list out;
    for (nb::handle aw : aws) {
        nb::object r = co_await nb::borrow(aw);
        out.append(r);
    }
    co_return out;
}

pyasync::Task return_tuple() { co_return nb::make_tuple(1, "two"); }

pyasync::Task return_exception(nb::object exc) { co_return exc; }

pyasync::Task return_int(int x) { co_return x * 2; }

pyasync::VoidTask void_task(nb::object log) {
    co_await asyncio_sleep0();
    log.attr("append")("ran");
    co_return;
}

pyasync::Task raise_cpp(std::string msg) {
    co_await asyncio_sleep0();
    throw std::runtime_error(msg);
}

// One-shot coroutines: one answering at once, one awaiting what it is given.
pyasync::Finish answer_now(PyObject *const *args) { return pyasync::Finish::with(nb::borrow(args[0])); }
pyasync::Finish answer_awaiting(PyObject *const *args) { return pyasync::Finish::awaiting(nb::borrow(args[0])); }

// A conversion that fails, as nanobind's casts fail: only the C++ library's words in it.
pyasync::Task raise_bad_cast() {
    co_await asyncio_sleep0();
    throw std::bad_cast();
}

pyasync::Task raise_value_error() {
    co_await asyncio_sleep0();
    throw nb::value_error("bad value");
}

// Awaits `aw` holding a guard; records the exception the body saw, then lets it go on.
pyasync::Task guarded_await(nb::object aw, nb::object log) {
    Guard guard(log, "guard");
    try {
        nb::object r = co_await aw;
        log.attr("append")("returned");
        co_return r;
    } catch (nb::python_error &e) {
        log.attr("append")(type_name(e));
        throw;
    }
}

// Returns the exception object that reached C++, to compare identities.
pyasync::Task catch_exception(nb::object aw) {
    try {
        co_await aw;
    } catch (nb::python_error &e) {
        co_return nb::borrow(e.value());
    }
    co_return nb::none();
}

// Swallows the first error, then awaits again outside the handler.
pyasync::Task recover_then_await(nb::object failing, nb::object second) {
    std::optional<nb::python_error> seen;
    try {
        co_await failing;
    } catch (nb::python_error &e) {
        seen.emplace(std::move(e));
    }
    nb::object r = co_await second;
    co_return nb::make_tuple(seen ? nb::borrow(seen->value()) : nb::none(), r);
}

pyasync::Task sleep_loop(int n) {
    for (int i = 0; i < n; ++i) {
        co_await asyncio_sleep0();
    }
    co_return n;
}

// A C++ task awaiting C++ tasks directly.
pyasync::Task await_cpp_task(nb::object aw) {
    nb::object a = co_await echo_await(aw);
    nb::object b = co_await return_int(21);
    co_return nb::make_tuple(a, b);
}

pyasync::Task named_task() { co_return nb::none(); }

// --- generators --------------------------------------------------------------------------------

pyasync::AsyncGen count(int n) {
    for (int i = 0; i < n; ++i) {
        co_yield nb::int_(i);
    }
}

pyasync::AsyncGen items(nb::list values) {
    for (nb::handle v : values) {
        co_yield nb::borrow(v);
    }
}

// Sleeps before each item: its suspensions must reach the event loop through any reader.
pyasync::AsyncGen awaiting_count(int n) {
    for (int i = 0; i < n; ++i) {
        co_await asyncio_sleep0();
        co_yield nb::int_(i);
    }
}

pyasync::AsyncGen passthrough(nb::object source) {
    pyasync::AsyncIter it(source);
    while (std::optional<nb::object> x = co_await it.next()) {
        co_yield std::move(*x);
    }
}

pyasync::AsyncGen add_suffix(nb::object source, std::string suffix) {
    pyasync::AsyncIter it(source);
    while (std::optional<nb::object> x = co_await it.next()) {
        co_yield nb::str("{}{}").format(*x, suffix);
    }
}

// Yields 0, 1, ...; records what arrives at its co_yield and its unwinding.
pyasync::AsyncGen guarded_gen(int n, nb::object log) {
    Guard guard(log, "guard");
    for (int i = 0; i < n; ++i) {
        try {
            co_yield nb::int_(i);
        } catch (nb::python_error &e) {
            log.attr("append")(type_name(e));
            throw;
        }
    }
    log.attr("append")("end");
}

// Yields one item, then waits on `aw` holding a guard.
pyasync::AsyncGen guarded_wait_gen(nb::object aw, nb::object log) {
    Guard guard(log, "guard");
    co_yield nb::int_(0);
    try {
        co_await aw;
    } catch (nb::python_error &e) {
        log.attr("append")(type_name(e));
        throw;
    }
}

// Answers each asend() value by yielding it back.
pyasync::AsyncGen echo_gen() {
    nb::object v = co_yield nb::str("ready");
    for (;;) {
        v = co_yield nb::make_tuple("got", v);
    }
}

// Catches an athrow()n ValueError and yields its message instead.
pyasync::AsyncGen recover_gen() {
    for (int i = 0;; ++i) {
        std::optional<nb::python_error> seen;
        try {
            co_yield nb::int_(i);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError)) {
                throw;
            }
            seen.emplace(std::move(e));
        }
        if (seen) {
            co_await asyncio_sleep0();
            co_yield nb::str("recovered");
        }
    }
}

pyasync::AsyncGen ignore_exit(nb::object log) {
    for (;;) {
        try {
            co_yield nb::str("item");
        } catch (nb::python_error &e) {
            log.attr("append")(type_name(e));
        }
    }
}

// Awaits in its cleanup: fine under aclose(), impossible when closed synchronously.
pyasync::AsyncGen async_cleanup_gen(nb::object log) {
    std::optional<nb::python_error> exit;
    try {
        co_yield nb::int_(1);
    } catch (nb::python_error &e) {
        exit.emplace(std::move(e));
    }
    co_await asyncio_sleep0();
    log.attr("append")("cleaned");
    if (exit) {
        throw std::move(*exit);
    }
}

pyasync::AsyncGen raise_stop(bool async_kind) {
    co_yield nb::int_(0);
    PyErr_SetNone(async_kind ? PyExc_StopAsyncIteration : PyExc_StopIteration);
    throw nb::python_error();
}

pyasync::AsyncGen raise_after(int n, nb::object exc) {
    for (int i = 0; i < n; ++i) {
        co_yield nb::int_(i);
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

// --- readers -----------------------------------------------------------------------------------

pyasync::Task collect(nb::object source) {
    pyasync::AsyncIter it(source);
    nb::list out;
    while (std::optional<nb::object> x = co_await it.next()) {
        out.append(*x);
    }
    co_return out;
}

// Reads `k` items, then closes the source.
pyasync::Task take(nb::object source, int k) {
    pyasync::AsyncIter it(source);
    nb::list out;
    for (int i = 0; i < k; ++i) {
        std::optional<nb::object> x = co_await it.next();
        if (!x) {
            break;
        }
        out.append(*x);
    }
    co_await it.aclose();
    co_return out;
}

pyasync::Task is_direct(nb::object source) { co_return pyasync::AsyncIter(source).direct(); }

// C++-only generators read directly, never becoming Python objects.
pyasync::Task sum_cpp_chain(int n) {
    pyasync::AsyncGen g = count(n);
    long total = 0;
    while (std::optional<nb::object> x = co_await g.next()) {
        total += nb::cast<long>(*x);
    }
    pyasync::AsyncIter it(awaiting_count(n));
    while (std::optional<nb::object> x = co_await it.next()) {
        total += nb::cast<long>(*x);
    }
    co_return total;
}

// Drops a C++-only generator early: it is closed (GeneratorExit at its co_yield) on destruction.
pyasync::Task drop_cpp_gen(nb::object log) {
    {
        pyasync::AsyncGen g = guarded_gen(5, log);
        co_await g.next();
    }
    co_return nb::none();
}

pyasync::Task count_items(nb::object source) {
    pyasync::AsyncIter it(source);
    long n = 0;
    while (co_await it.next()) {
        ++n;
    }
    co_return n;
}


// --- the public surface for clients ----------------------------------------------------------

// Reads an object that already is an async iterator: no second `__aiter__`.
pyasync::Task collect_iterator(nb::object iterator) {
    pyasync::AsyncIter it = pyasync::AsyncIter::from_iterator(iterator);
    nb::list out;
    while (std::optional<nb::object> x = co_await it.next()) {
        out.append(*x);
    }
    co_return nb::make_tuple(out, it.direct());
}

// Reads an async iterable as `async for` does, one step at a time.
pyasync::Task collect_async_for(nb::object iterable) {
    auto items = co_await pyasync::hold(pyasync::aiter(iterable));
    nb::list out;
    while (std::optional<nb::object> x = co_await pyasync::anext(*items)) {
        out.append(*x);
    }
    co_return out;
}

// Reads `k` items one step at a time, then closes the iterator.
pyasync::Task take_steps(nb::object iterator, int k) {
    nb::list out;
    for (int i = 0; i < k; ++i) {
        std::optional<nb::object> x = co_await pyasync::anext(iterator);
        if (!x) {
            break;
        }
        out.append(*x);
    }
    co_await pyasync::aclose(iterator);
    co_return out;
}

// Relays `source`, then closes it however the relay ended, and raises what ended it. `fail_at`
// throws a C++ error after that many items.
pyasync::AsyncGen relay_then_close(nb::object source, int fail_at) {
    auto items = co_await pyasync::hold(pyasync::AsyncIter(source));
    pyasync::Caught failure;
    try {
        for (int i = 0;; ++i) {
            if (i == fail_at) {
                throw std::runtime_error("relay failed");
            }
            std::optional<nb::object> x = co_await items->next();
            if (!x) {
                break;
            }
            co_yield std::move(*x);
        }
    } catch (...) {
        failure.capture();
    }
    co_await items->aclose();
    failure.rethrow();
}

// Relays what a reader handed over as a parameter reads.
pyasync::AsyncGen relay_reader(pyasync::AsyncIter items) {
    while (std::optional<nb::object> x = co_await items.next()) {
        co_yield std::move(*x);
    }
}

// Relays `source` through a C++-only generator that holds its reader.
pyasync::AsyncGen relay_through_cpp(nb::object source) {
    auto items = co_await pyasync::hold(pyasync::AsyncIter(relay_then_close(source, -1)));
    auto last = co_await pyasync::hold(std::optional<nb::object>());
    while (std::optional<nb::object> x = co_await items->next()) {
        *last = *x;
        co_yield std::move(*x);
    }
}

// --- depth ----------------------------------------------------------------------------------------

// `depth` C++ tasks, each awaiting the next directly.
pyasync::Task nested_tasks(int depth) {
    if (depth == 0) {
        co_return 0;
    }
    nb::object below = co_await nested_tasks(depth - 1);
    co_return nb::cast<int>(below) + 1;
}

// `depth` C++ generators, each reading the next directly; the innermost yields `n` items.
pyasync::AsyncGen nested_gens(int depth, int n) {
    if (depth == 0) {
        for (int i = 0; i < n; ++i) {
            co_yield nb::int_(i);
        }
        co_return;
    }
    auto items = co_await pyasync::hold(pyasync::AsyncIter(nested_gens(depth - 1, n)));
    while (std::optional<nb::object> x = co_await items->next()) {
        co_yield std::move(*x);
    }
}

}  // namespace

// The module needs the GIL: built without nanobind's FREE_THREADED option, it declares no Py_mod_gil slot,
// which is Py_MOD_GIL_USED (CMakeLists.txt refuses a free-threaded interpreter).
namespace {

// The stubs of a function, as an edit of them that swaps two parameters would leave them.
const pyhost::StubParameter swapped_parameters[] = {
    {"reason", pyhost::StubKind::positional, "str", {}},
    {"category", pyhost::StubKind::positional, "str | None", {pyhost::StubDefault::none}},
    {"filtered_content", pyhost::StubKind::positional, "str | None", {pyhost::StubDefault::none}},
};
const pyhost::StubFunction swapped_stub[] = {
    {"_pyasync_testing.unsafe", pyhost::StubFunctionKind::function, swapped_parameters, 3, "str"},
};
const pyhost::StubSignatures swapped_registered(swapped_stub);

}  // namespace

NB_MODULE(_pyasync_testing, m) {
    m.def("echo_await", &echo_await);
    m.def("sign_against_swapped_stubs", [] {
        nb::object native = nb::cpp_function([](nb::handle, nb::handle, nb::handle) { return nb::none(); },
                                             nb::arg("reason"), nb::arg("filtered_content").none(),
                                             nb::arg("category").none());
        return pyhost::signed_function(native, nb::str("_pyasync_testing"), nb::str("unsafe"));
    });
    m.def("await_all", &await_all);
    m.def("return_tuple", &return_tuple);
    m.def("return_exception", &return_exception);
    m.def("return_int", &return_int);
    m.def("void_task", &void_task);
    m.def("raise_cpp", &raise_cpp);
    m.def("raise_value_error", &raise_value_error);
    m.def("one_shot_value", [](nb::handle value) {
        return pyasync::one_shot(&answer_now, {value}, "one_shot_value", "one_shot_value");
    });
    m.def("one_shot_await", [](nb::handle aw) {
        return pyasync::one_shot(&answer_awaiting, {aw}, "one_shot_await", "one_shot_await");
    });
    m.def("raise_bad_cast", &raise_bad_cast);
    m.def("raise_bad_cast_now", []() -> int { throw std::bad_cast(); });
    m.def("guarded_await", &guarded_await);
    m.def("catch_exception", &catch_exception);
    m.def("recover_then_await", &recover_then_await);
    m.def("sleep_loop", &sleep_loop);
    m.def("await_cpp_task", &await_cpp_task);
    m.def("named_task", [] { return named_task().named("custom_name", "Custom.custom_name"); });

    m.def("count", &count);
    m.def("items", &items);
    m.def("awaiting_count", &awaiting_count);
    m.def("passthrough", &passthrough);
    m.def("add_suffix", &add_suffix);
    m.def("guarded_gen", &guarded_gen);
    m.def("guarded_wait_gen", &guarded_wait_gen);
    m.def("echo_gen", &echo_gen);
    m.def("recover_gen", &recover_gen);
    m.def("ignore_exit", &ignore_exit);
    m.def("async_cleanup_gen", &async_cleanup_gen);
    m.def("raise_stop", &raise_stop);
    m.def("raise_after", &raise_after);

    m.def("collect", &collect);
    m.def("take", &take);
    m.def("is_direct", &is_direct);
    m.def("sum_cpp_chain", &sum_cpp_chain);
    m.def("drop_cpp_gen", &drop_cpp_gen);
    m.def("count_items", &count_items);

    m.def("is_async_gen", [](nb::handle obj) { return pyasync::is_async_gen(obj); });
    m.def("collect_iterator", &collect_iterator);
    m.def("collect_async_for", &collect_async_for);
    m.def("take_steps", &take_steps);
    m.def("relay_then_close", &relay_then_close, nb::arg("source"), nb::arg("fail_at") = -1);
    m.def("relay_through_cpp", &relay_through_cpp);
    m.def("relay_reader", [](nb::handle source) { return relay_reader(pyasync::AsyncIter(source)); });

    m.def("nested_tasks", &nested_tasks);
    m.def("nested_gens", &nested_gens);
}
