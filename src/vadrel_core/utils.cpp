// `vadrel_core.utils` and `vadrel_core.logging`: LoggerManager over the standard library's loggers, and
// validate_enum.
#include "pyhost/frame.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_core/modules.hpp"

namespace vadrel_core {

void init_utils(nb::module_ m) {
    // Loggers are the standard library's own: records go wherever the application configured.
    pyhost::ClassBuilder(m, "LoggerManager", "Hands out the standard library's named loggers.")
        .method("__init__", [](nb::handle) {})
        .method(
            "get_logger", [](nb::handle, nb::handle name) { return pyhost::import_from("logging", "getLogger")(name); },
            nb::arg("name").none(), "Return `logging.getLogger(name)`.")
        .build();

    // The type variable the stub of `validate_enum` names, for its annotations to resolve at run time.
    m.attr("_E") = pyhost::import_from("typing", "TypeVar")("_E",
                                                            nb::arg("bound") = pyhost::import_from("enum", "Enum"));
    m.def(
        "validate_enum",
        [](nb::handle enum_cls, nb::handle value) -> nb::object {
            if (nb::isinstance(value, enum_cls)) {
                return nb::borrow(value);
            }
            nb::list valid;
            for (nb::handle member : enum_cls) {
                nb::object member_value = member.attr("value");
                if (member_value.equal(value)) {
                    return nb::borrow(member);
                }
                valid.append(nb::str(member_value));
            }
            nb::str message = nb::str("Invalid {} value {!r}. Valid values: {}")
                                  .format(enum_cls.attr("__name__"), value, nb::str(", ").attr("join")(valid));
            pyhost::raise(PyExc_ValueError, "%U", message.ptr());
        },
        nb::arg("enum_cls"), nb::arg("value").none(),
        "Return the member of `enum_cls` that is `value` or has it as its value; raise ValueError otherwise.");
    pyhost::set_all(m, {"LoggerManager", "validate_enum"});
}

void init_logging(nb::module_ m) {
    pyhost::reexport(m, "vadrel_core.utils", {"LoggerManager"});
    pyhost::set_all(m, {"LoggerManager"});
}

}  // namespace vadrel_core
