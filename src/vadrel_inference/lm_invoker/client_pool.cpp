// One pooled HTTP client per invoker and event loop, and their closing (see client_pool.hpp).
#include "vadrel_inference/lm_invoker/client_pool.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"

namespace vadrel_inference::client_pool {
nb::object running_loop() {
    static pyhost::Global get;
    if (!get) {
        get.set(pyhost::import_from("asyncio", "get_running_loop"));
    }
    return get();
}

nb::object current_task() {
    static pyhost::Global get;
    if (!get) {
        get.set(pyhost::import_from("asyncio", "current_task"));
    }
    return get();
}

namespace {

// Decades: the loop's hold on an entry never comes due while the loop runs.
constexpr double kHoldSeconds = 1e9;
// How long `close()` waits for the calls it ended.
constexpr double kCloseSeconds = 2.0;

nb::object loop_key(nb::handle loop) {
    // A loop has at most one plain weak reference, which every call gets again: the look-up is cheap.
    return pyhost::owned(PyWeakref_NewRef(loop.ptr(), nullptr));
}

pyasync::AsyncGen keep(nb::object client) {
    pyasync::Caught closing;
    try {
        co_yield client;
    } catch (...) {
        closing.capture();
    }
    co_await client.attr("close")();
    closing.rethrow();
}

// The entry that `ref` (a weak reference to its holder) still reaches, or None.
nb::object held_entry(nb::handle ref) {
    PyObject *holder = nullptr;
    if (pyhost::status(PyWeakref_GetRef(ref.ptr(), &holder)) == 0) {
        return nb::none();
    }
    return nb::steal(holder).attr("args")[0];
}

// The key of a holder that has gone (its loop closed, or collected) leaves the invoker's clients, unless
// a newer entry took its place.
nb::object forget_when_gone(nb::handle invoker, nb::handle key) {
    nb::object invoker_ref = pyhost::owned(PyWeakref_NewRef(invoker.ptr(), nullptr));
    nb::object gone_key = nb::borrow(key);
    return nb::cpp_function([invoker_ref, gone_key](nb::handle ref) {
        nb::object invoker = invoker_ref();
        if (invoker.is_none()) return;
        nb::object clients = nb::getattr(invoker, "_clients", nb::none());
        if (!PyDict_Check(clients.ptr())) return;
        PyObject *found = nullptr;
        if (pyhost::status(PyDict_GetItemRef(clients.ptr(), gone_key.ptr(), &found)) == 1 &&
            nb::steal(found).is(ref)) {
            pyhost::status(PyDict_DelItem(clients.ptr(), gone_key.ptr()));
        }
    });
}

}  // namespace

// The loop holds each entry through a timer of its own, due in decades, whose callback (a partial) holds
// it; the invoker keeps only a weak reference to that callback. A loop that closes discards its timers
// (as `loop.close()` documents), and a loop that is dropped unclosed is collected with them: either way
// the entry goes with its loop, and no invoker keeps a loop alive.
pyasync::Task client(nb::object invoker, nb::object loop, MakeClient make) {
    nb::dict clients = nb::borrow<nb::dict>(invoker.attr("_clients"));
    nb::object key = loop_key(loop);
    PyObject *ref = nullptr;
    if (pyhost::status(PyDict_GetItemRef(clients.ptr(), key.ptr(), &ref)) == 1) {
        nb::object entry = held_entry(nb::steal(ref));
        if (!entry.is_none()) {
            co_return entry;
        }
    }
    static pyhost::Global semaphore, partial, idle;
    if (!semaphore) {
        semaphore.set(pyhost::import_from("asyncio", "Semaphore"));
        partial.set(pyhost::import_from("functools", "partial"));
        idle.set(nb::cpp_function([](nb::handle) {}));
    }
    nb::object made = make(invoker);
    nb::object gate = semaphore(invoker.attr("max_connections"));
    nb::object keeper = keep(made).named("keep_client").to_python();
    nb::list entry;
    entry.append(made);
    entry.append(gate);
    entry.append(keeper);
    entry.append(nb::dict());
    entry.append(nb::none());
    // The entry does not know its timer: a cycle through them would leave a closed loop to the collector.
    nb::object holder = partial(idle.get(), entry);
    loop.attr("call_later")(kHoldSeconds, holder);
    clients[key] = pyhost::owned(PyWeakref_NewRef(holder.ptr(), forget_when_gone(invoker, key).ptr()));
    // The first step makes the keeper one of the running loop's async generators; it yields at once.
    co_await keeper.attr("__anext__")();
    co_return entry;
}

namespace {

constexpr int kNextCheck = 4;

void schedule_check(nb::handle entry, nb::handle loop, double when);

// Ends the calls under way (their values still (task, deadline)) that `picks(task, deadline)` picks: each is
// marked with `mark` and its task cancelled once. The calls it ended.
template <typename Picks>
nb::list end_calls(nb::handle calls, nb::handle mark, Picks picks) {
    nb::list ended;
    for (nb::handle item : pyhost::owned(PyDict_Items(calls.ptr()))) {
        nb::object call = nb::borrow(item)[0], value = nb::borrow(item)[1];
        if (PyTuple_Check(value.ptr()) && picks(value[0], PyFloat_AsDouble(PyTuple_GET_ITEM(value.ptr(), 1)))) {
            calls[call] = mark;
            value[0].attr("cancel")();
            ended.append(call);
        }
    }
    return ended;
}

// The entry's deadline timer, due at `when`: each call under way whose deadline is `when` or before is ended
// (its task cancelled once, its value set to False), and the timer set again for the earliest that is left.
void check_deadlines(nb::handle entry, double when) {
    if (PyList_GET_SIZE(entry.ptr()) <= kNextCheck) {
        return;  // closed
    }
    nb::object next = entry[kNextCheck];
    if (!next.is_none() && PyFloat_AsDouble(next.ptr()) == when) {
        entry[kNextCheck] = nb::none();
    }
    double earliest = std::numeric_limits<double>::infinity();
    end_calls(entry[kCalls], nb::bool_(false), [&](nb::handle, double deadline) {
        if (deadline <= when) return true;
        earliest = std::min(earliest, deadline);
        return false;
    });
    if (std::isfinite(earliest)) {
        schedule_check(entry, running_loop(), earliest);
    }
}

// A timer at `when` unless one comes sooner. A later timer set before stays: it finds nothing to end.
void schedule_check(nb::handle entry, nb::handle loop, double when) {
    static pyhost::Global check;
    if (!check) {
        check.set(nb::cpp_function(&check_deadlines));
    }
    nb::object next = entry[kNextCheck];
    if (!next.is_none() && PyFloat_AsDouble(next.ptr()) <= when) {
        return;
    }
    entry[kNextCheck] = nb::float_(when);
    loop.attr("call_at")(when, check.get(), entry, when);
}

}  // namespace

void call_started(nb::handle entry, nb::handle loop, nb::handle call, nb::handle task, double deadline) {
    entry[kCalls][call] = nb::make_tuple(task, deadline);
    schedule_check(entry, loop, deadline);
}

Ended call_ended(nb::handle calls, nb::handle call, nb::handle task) {
    PyObject *value = nullptr;
    pyhost::status(PyDict_Pop(calls.ptr(), call.ptr(), &value));
    nb::object state = nb::steal(value);
    call.attr("set_result")(nb::none());
    if (PyTuple_Check(state.ptr())) {
        return Ended::normally;
    }
    task.attr("uncancel")();
    return state.is_none() ? Ended::closed : Ended::expired;
}

pyasync::VoidTask close(nb::object invoker) {
    static pyhost::Global wait;
    if (!wait) {
        wait.set(pyhost::import_from("asyncio", "wait"));
    }
    nb::dict clients = nb::borrow<nb::dict>(invoker.attr("_clients"));
    nb::object ref = clients.attr("pop")(loop_key(running_loop()), nb::none());
    nb::object entry = ref.is_none() ? nb::none() : held_entry(ref);
    if (entry.is_none()) {
        co_return;
    }
    // Each call under way ends, but the one closing the invoker from within (an event handler's): it
    // goes on without its connection.
    nb::object self = current_task();
    nb::list ending = end_calls(entry[kCalls], nb::none(), [&](nb::handle task, double) { return !task.is(self); });
    if (nb::len(ending) != 0) {
        co_await wait(ending, nb::arg("timeout") = kCloseSeconds);
    }
    co_await pyasync::aclose(entry[2]);
    // The loop's timer still holds the entry until the loop closes: all it keeps of a closed client is an
    // empty list.
    pyhost::status(PyList_SetSlice(entry.ptr(), 0, PY_SSIZE_T_MAX, nullptr));
}

}  // namespace vadrel_inference::client_pool
