// `aclose`, `__aenter__` and `__aexit__` for invoker classes: how an invoker lets go of what it holds open.
#include "vadrel_inference/closing.hpp"

#include "pyasync/pyasync.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference {
namespace {

pyasync::VoidTask aclose(nb::object) {
    co_return;
}

pyasync::Task aenter(nb::object self) {
    co_return self;
}

pyasync::VoidTask aexit(nb::object self, nb::object, nb::object, nb::object) {
    co_await self.attr("aclose")();
}

}  // namespace

pyhost::ClassBuilder &closable(pyhost::ClassBuilder &builder) {
    return builder.method("aclose", &aclose, "Release what the invoker holds open (asynchronous).")
        .method("__aenter__", &aenter)
        .method("__aexit__", &aexit, nb::arg("exc_type").none(), nb::arg("exc").none(), nb::arg("tb").none());
}

}  // namespace vadrel_inference
