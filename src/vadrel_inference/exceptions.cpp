// `vadrel_inference.exceptions`: BaseInvokerError and InvokerRuntimeError, what invokers raise when a
// model call fails.
#include <string>

#include "pyhost/frame.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {

pyhost::Global BaseInvokerError;
pyhost::Global InvokerRuntimeError;

void init_exceptions(nb::module_ m) {
    BaseInvokerError.set(
        pyhost::ClassBuilder(m, "BaseInvokerError", "Root of the errors that invokers raise when a model call fails.")
            .base(PyExc_Exception)
            .method(
                "__init__",
                [](nb::handle self, nb::str class_name, nb::str message) {
                    nb::setattr(self, "class_name", class_name);
                    nb::setattr(self, "message", message);
                    // The text names the raising class first: "[class_name] message".
                    nb::str text = nb::len(message) > 0 ? nb::str("[{}] {}").format(class_name, message)
                                                        : nb::str("[{}]").format(class_name);
                    nb::handle(PyExc_Exception).attr("__init__")(self, text);
                },
                nb::arg("class_name"), nb::arg("message"))
            .build());
    InvokerRuntimeError.set(
        pyhost::ClassBuilder(m, "InvokerRuntimeError", "A model call failed at run time: transport, service or answer.")
            .base(BaseInvokerError.get())
            .build());
    pyhost::set_all(m, {"BaseInvokerError", "InvokerRuntimeError"});
}

}  // namespace vadrel_inference
