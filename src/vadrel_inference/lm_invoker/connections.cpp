// The invoker's connector, and the attempts' hold on their connections (see connections.hpp).
#include "vadrel_inference/lm_invoker/connections.hpp"

#include "pyasync/pyasync.hpp"
#include "pyhost/classes.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_inference/lm_invoker/client_pool.hpp"

namespace vadrel_inference::connections {
namespace {

// On the connector: {task: [transport, ...]}, the connections that each attempt under way was given, by the
// task that runs it (a task runs one attempt at a time).
constexpr const char *kAttempts = "attempts";

nb::handle tcp_connector() {
    static pyhost::Global cls;
    if (!cls) {
        cls.set(pyhost::import_from("aiohttp", "TCPConnector"));
    }
    return cls.get();
}

pyasync::Task connect(nb::object self, nb::object request, nb::object traces, nb::object timeout) {
    static pyhost::Global base_connect;
    if (!base_connect) {
        base_connect.set(tcp_connector().attr("connect"));
    }
    nb::object connection = co_await base_connect(self, request, traces, timeout);
    PyObject *taken = nullptr;
    if (pyhost::status(PyDict_GetItemRef(self.attr(kAttempts).ptr(), client_pool::current_task().ptr(), &taken)) == 1) {
        nb::object list = nb::steal(taken);
        nb::object transport = connection.attr("transport");
        if (!transport.is_none()) {
            pyhost::status(PyList_Append(list.ptr(), transport.ptr()));
        }
    }
    co_return connection;
}

nb::handle connector_class() {
    static pyhost::Global cls;
    if (!cls) {
        nb::object module = nb::module_::import_("vadrel_inference.lm_invoker.openai_compatible_lm_invoker");
        cls.set(pyhost::ClassBuilder(module, "_Connector",
                                     "aiohttp's TCPConnector, which also tells the attempt under way the connection it "
                                     "got.")
                    .base(tcp_connector())
                    .method("connect", &connect, nb::arg("req"), nb::arg("traces"), nb::arg("timeout"))
                    .build());
    }
    return cls.get();
}

// Aborts the transports in `taken` (a list), which it empties.
void abort_all(nb::handle taken) {
    nb::object transports = pyhost::owned(PySequence_List(taken.ptr()));
    pyhost::status(PyList_SetSlice(taken.ptr(), 0, PY_SSIZE_T_MAX, nullptr));
    for (nb::handle transport : transports) {
        transport.attr("abort")();
    }
}

// What one read of a socket may return is what its receive buffer holds, and aiohttp parses all of it before
// the loop turns again: against a service that floods it (with `102 Processing` answers, say) a turn would
// take as long as parsing 256 KiB, asyncio's largest read. A buffer of 32 KiB bounds that to a few dozen
// milliseconds, and still takes in a model's answer at 32 KiB a round trip (about 0.6 MB/s at 50 ms).
constexpr int kReceiveBufferBytes = 32 * 1024;

// aiohttp's socket factory (an address as getaddrinfo gives it, a new socket): a socket with that buffer.
nb::object socket_factory() {
    static pyhost::Global factory;
    if (!factory) {
        nb::object module = nb::module_::import_("socket");
        factory.set(nb::cpp_function([module](nb::handle address) {
            nb::object socket = module.attr("socket")(nb::arg("family") = address[0], nb::arg("type") = address[1],
                                                      nb::arg("proto") = address[2]);
            try {
                socket.attr("setsockopt")(module.attr("SOL_SOCKET"), module.attr("SO_RCVBUF"), kReceiveBufferBytes);
            } catch (...) {
                socket.attr("close")();
                throw;
            }
            return socket;
        }));
    }
    return nb::borrow(factory.get());
}

}  // namespace

nb::object connector(nb::handle limit, nb::handle ssl) {
    nb::object made = connector_class()(nb::arg("limit") = limit, nb::arg("ssl") = ssl,
                                        nb::arg("socket_factory") = socket_factory());
    nb::setattr(made, kAttempts, nb::dict());
    return made;
}

Attempt::Attempt(nb::handle connector, nb::handle task)
    : attempts_(nb::borrow(connector).attr(kAttempts)), task_(nb::borrow(task)), taken_(nb::list()) {
    pyhost::status(PyObject_SetItem(attempts_.ptr(), task_.ptr(), taken_.ptr()));
}

// Only when the request was sent whole: an answer that came before the service read the rest (a large
// prompt turned away) leaves it queued, and the connection stays to be aborted.
void Attempt::handed_back() {
    for (nb::handle transport : pyhost::owned(PySequence_List(taken_.ptr()))) {
        if (nb::cast<Py_ssize_t>(transport.attr("get_write_buffer_size")()) != 0) return;
    }
    pyhost::status(PyList_SetSlice(taken_.ptr(), 0, PY_SSIZE_T_MAX, nullptr));
}

// Runs Python code while an error may be on its way out: that error is set aside meanwhile, and what goes
// wrong here is reported as unraisable rather than replacing it.
Attempt::~Attempt() {
    PyObject *raised = PyErr_GetRaisedException();
    try {
        pyhost::status(PyDict_Pop(attempts_.ptr(), task_.ptr(), nullptr));
        abort_all(taken_);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(attempts_);
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "the connections of a failed attempt could not be closed");
        PyErr_WriteUnraisable(attempts_.ptr());
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace vadrel_inference::connections
