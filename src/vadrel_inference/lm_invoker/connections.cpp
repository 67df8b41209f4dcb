// The invoker's connector, and the attempts' hold on their connections (see connections.hpp).
#include "vadrel_inference/lm_invoker/connections.hpp"

#include "pyasync/pyasync.hpp"
#include "pyhost/classes.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"

namespace vadrel_inference::connections {
namespace {

constexpr const char *kInFlight = "in_flight";  // on the connector: {transport: None} of the attempts under way

// The attempt under way in the running task: the list its connections go into.
nb::handle attempt_var() {
    static PyObject *var = nullptr;  // never released
    if (var == nullptr) {
        var = pyhost::owned(PyContextVar_New("vadrel_inference_attempt", nullptr)).release().ptr();
    }
    return var;
}

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
    pyhost::status(PyContextVar_Get(attempt_var().ptr(), nullptr, &taken));
    if (taken != nullptr) {
        nb::object list = nb::steal(taken);
        nb::object transport = connection.attr("transport");
        if (!transport.is_none()) {
            pyhost::status(PyList_Append(list.ptr(), transport.ptr()));
            pyhost::status(PyObject_SetItem(self.attr(kInFlight).ptr(), transport.ptr(), Py_None));
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

void abort(nb::handle transport) {
    transport.attr("abort")();
}

}  // namespace

nb::object connector(nb::handle limit, nb::handle ssl) {
    nb::object made = connector_class()(nb::arg("limit") = limit, nb::arg("ssl") = ssl);
    nb::setattr(made, kInFlight, nb::dict());
    return made;
}

void abort_in_flight(nb::handle connector) {
    nb::object in_flight = nb::getattr(connector, kInFlight, nb::none());
    if (in_flight.is_none()) {
        return;
    }
    nb::object transports = pyhost::owned(PySequence_List(in_flight.ptr()));
    in_flight.attr("clear")();
    for (nb::handle transport : transports) {
        abort(transport);
    }
}

Attempt::Attempt(nb::handle connector)
    : connector_(nb::borrow(connector)), in_flight_(connector_.attr(kInFlight)), taken_(nb::list()) {
    token_ = pyhost::owned(PyContextVar_Set(attempt_var().ptr(), taken_.ptr()));
}

void Attempt::handed_back() {
    for (nb::handle transport : taken_) {
        pyhost::status(PyDict_Pop(in_flight_.ptr(), transport.ptr(), nullptr));
    }
    pyhost::status(PyList_SetSlice(taken_.ptr(), 0, PY_SSIZE_T_MAX, nullptr));
}

// Runs Python code while an error may be on its way out: that error is set aside meanwhile, and what goes
// wrong here is reported as unraisable rather than replacing it.
Attempt::~Attempt() {
    PyObject *raised = PyErr_GetRaisedException();
    // A frame closed outside the task that ran it is in another context, where the token cannot reset.
    if (PyContextVar_Reset(attempt_var().ptr(), token_.ptr()) < 0) {
        PyErr_Clear();
    }
    try {
        for (nb::handle transport : taken_) {
            pyhost::status(PyDict_Pop(in_flight_.ptr(), transport.ptr(), nullptr));
            abort(transport);
        }
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(connector_);
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "the connections of a failed attempt could not be closed");
        PyErr_WriteUnraisable(connector_.ptr());
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace vadrel_inference::connections
