// One pooled HTTP client per invoker and event loop, and their closing (see client_pool.hpp).
#include "vadrel_inference/lm_invoker/client_pool.hpp"

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

// Decades: a lease never comes due while its loop runs.
constexpr double kLeaseSeconds = 1e9;
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

// `entry` leaves the invoker's clients when it is still the one of `key`.
void forget(nb::handle invoker, nb::handle key, nb::handle entry) {
    nb::object clients = nb::getattr(invoker, "_clients", nb::none());
    if (!PyDict_Check(clients.ptr())) {
        return;
    }
    PyObject *found = nullptr;
    if (pyhost::status(PyDict_GetItemRef(clients.ptr(), key.ptr(), &found)) == 1) {
        nb::object held = nb::steal(found);
        if (held.is(entry)) {
            pyhost::status(PyDict_DelItem(clients.ptr(), key.ptr()));
        }
    }
}

// A client whose loop is closed, or is going without having been closed: its connector is closed without
// the loop. With the loop closed, the client's `close()` finishes at its first step; should it not, it is
// dropped unfinished.
void close_without_loop(nb::handle client) {
    if (pyhost::truth(client.attr("closed"))) {
        return;
    }
    nb::object closing = client.attr("close")();
    PyObject *result = nullptr;
    const PySendResult sent = PyIter_Send(closing.ptr(), Py_None, &result);
    Py_XDECREF(result);
    if (sent == PYGEN_ERROR) {
        throw nb::python_error();
    }
    if (sent == PYGEN_NEXT) {
        closing.attr("close")();
    }
}

// The lease's end: its loop dropped it (closed, or gone). Called by weakref.finalize, with a list that holds
// the entry.
void lease_ended(nb::handle invoker_ref, nb::handle key, nb::handle entry_box) {
    if (nb::len(entry_box) == 0) {
        return;
    }
    nb::object entry = entry_box[0];
    nb::object invoker = invoker_ref();
    if (!invoker.is_none()) {
        forget(invoker, key, entry);
    }
    close_without_loop(entry[0]);
}

// The lease is held by its loop alone (the entry keeps a weak reference to it): held by the entry too, it
// would be kept by its own finalizer, which holds the entry.
nb::object new_lease(nb::handle invoker, nb::handle loop, nb::handle key, nb::handle entry_box) {
    static pyhost::Global finalize, ended, idle;
    if (!finalize) {
        finalize.set(pyhost::import_from("weakref", "finalize"));
        ended.set(nb::cpp_function(&lease_ended));
        idle.set(nb::cpp_function([] {}));
    }
    nb::object lease = loop.attr("call_later")(kLeaseSeconds, idle.get());
    nb::object invoker_ref = pyhost::owned(PyWeakref_NewRef(invoker.ptr(), nullptr));
    nb::object finalizer = finalize(lease, ended.get(), invoker_ref, key, entry_box);
    nb::setattr(finalizer, "atexit", nb::bool_(false));
    return pyhost::owned(PyWeakref_NewRef(lease.ptr(), nullptr));
}

}  // namespace

pyasync::Task client(nb::object invoker, nb::object loop, MakeClient make) {
    nb::dict clients = nb::borrow<nb::dict>(invoker.attr("_clients"));
    nb::object key = loop_key(loop);
    PyObject *entry = nullptr;
    if (pyhost::status(PyDict_GetItemRef(clients.ptr(), key.ptr(), &entry)) == 1) {
        co_return nb::steal(entry);
    }
    static pyhost::Global semaphore;
    if (!semaphore) {
        semaphore.set(pyhost::import_from("asyncio", "Semaphore"));
    }
    nb::object made = make(invoker);
    nb::object gate = semaphore(invoker.attr("max_connections"));
    nb::object keeper = keep(made).named("keep_client").to_python();
    // The lease's finalizer is made before the entry that it is to know: it is given a list that gets it.
    nb::list box;
    nb::object lease = new_lease(invoker, loop, key, box);
    nb::tuple found = nb::make_tuple(made, gate, keeper, lease, nb::dict());
    box.append(found);
    clients[key] = found;
    // The first step makes the keeper one of the running loop's async generators; it yields at once.
    co_await keeper.attr("__anext__")();
    co_return found;
}

bool call_ended(nb::handle calls, nb::handle call, nb::handle task) {
    const bool closed = calls.attr("pop")(call).is_none();
    call.attr("set_result")(nb::none());
    if (closed) {
        task.attr("uncancel")();
    }
    return closed;
}

pyasync::VoidTask close(nb::object invoker) {
    static pyhost::Global wait;
    if (!wait) {
        wait.set(pyhost::import_from("asyncio", "wait"));
    }
    nb::dict clients = nb::borrow<nb::dict>(invoker.attr("_clients"));
    nb::object entry = clients.attr("pop")(loop_key(running_loop()), nb::none());
    if (entry.is_none()) {
        co_return;
    }
    // Each call under way ends, but the one closing the invoker from within (an event handler's): it
    // goes on without its connection.
    nb::object calls = entry[kCalls];
    nb::object self = current_task();
    nb::list ending;
    for (nb::handle item : pyhost::owned(PyDict_Items(calls.ptr()))) {
        nb::object call = nb::borrow(item)[0], task = nb::borrow(item)[1];
        if (!task.is(self)) {
            calls[call] = nb::none();
            task.attr("cancel")();
            ending.append(call);
        }
    }
    if (nb::len(ending) != 0) {
        co_await wait(ending, nb::arg("timeout") = kCloseSeconds);
    }
    co_await pyasync::aclose(entry[2]);
}

}  // namespace vadrel_inference::client_pool
