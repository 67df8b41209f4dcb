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

namespace {

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

// Entries of loops that are closed or gone: their connections can never serve a call again. The keys
// are taken first: asking a loop runs Python code, during which another thread may change the entries.
void forget_closed(nb::dict clients) {
    nb::object keys = pyhost::owned(PyDict_Keys(clients.ptr()));
    for (nb::handle key : keys) {
        nb::object loop = key();
        if (loop.is_none() || pyhost::truth(loop.attr("is_closed")())) {
            clients.attr("pop")(key, nb::none());
        }
    }
}

}  // namespace

pyasync::Task client(nb::object invoker, nb::object loop, MakeClient make) {
    nb::dict clients = nb::borrow<nb::dict>(invoker.attr("_clients"));
    nb::object key = loop_key(loop);
    PyObject *entry = nullptr;
    if (pyhost::status(PyDict_GetItemRef(clients.ptr(), key.ptr(), &entry)) == 1) {
        co_return nb::steal(entry);
    }
    forget_closed(clients);
    static pyhost::Global semaphore;
    if (!semaphore) {
        semaphore.set(pyhost::import_from("asyncio", "Semaphore"));
    }
    nb::object made = make(invoker);
    nb::object gate = semaphore(invoker.attr("max_connections"));
    nb::object keeper = keep(made).named("keep_client").to_python();
    nb::tuple found = nb::make_tuple(made, gate, keeper);
    clients[key] = found;
    // The first step makes the keeper one of the running loop's async generators; it yields at once.
    co_await keeper.attr("__anext__")();
    co_return found;
}

pyasync::VoidTask close(nb::object invoker) {
    nb::dict clients = nb::borrow<nb::dict>(invoker.attr("_clients"));
    nb::object entry = clients.attr("pop")(loop_key(running_loop()), nb::none());
    forget_closed(clients);
    if (!entry.is_none()) {
        nb::object keeper = entry[2];
        co_await pyasync::aclose(keeper);
    }
}

}  // namespace vadrel_inference::client_pool
