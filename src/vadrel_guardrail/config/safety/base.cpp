// The module `vadrel_guardrail.config.safety.base`: the structural safety-item interface, the
// abstract builder base and the item formatter both builders use.
#include "pyhost/classes.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/signatures.hpp"
#include "vadrel_core/abstract_method.hpp"
#include "vadrel_guardrail/config/safety/common.hpp"
#include "vadrel_guardrail/modules.hpp"

namespace vadrel_guardrail {
namespace {

using safety::truth;

// `format(value, "")`, which is what an f-string field does with it.
nb::object formatted(nb::handle value) {
    static PyObject *empty = PyUnicode_FromString("");
    return pyhost::owned(PyObject_Format(value.ptr(), empty));
}

nb::object join(const char *separator, nb::handle parts) {
    return pyhost::owned(PyUnicode_Join(nb::str(separator).ptr(), parts.ptr()));
}

// One coded line per item, and each distinct example once with the codes of every item listing it.
nb::tuple get_formatted_items(nb::handle items, nb::handle prefix) {
    if (!truth(items)) {
        return nb::make_tuple("", "");
    }
    nb::object code_prefix = formatted(prefix);
    nb::list category_parts;
    nb::dict examples_with_codes;  // keeps first-insertion order
    Py_ssize_t position = 0;
    for (nb::handle item : items) {
        nb::object code = pyhost::owned(PyUnicode_FromFormat("%U%zd", code_prefix.ptr(), position++));
        category_parts.append("[");
        category_parts.append(code);
        category_parts.append("] ");
        category_parts.append(formatted(item.attr("label")));
        nb::object description = item.attr("description");
        if (!description.is_none() && truth(description)) {
            category_parts.append(": ");
            category_parts.append(formatted(description));
        }
        category_parts.append("\n");

        nb::object examples = item.attr("examples");
        if (examples.is_none() || !truth(examples)) continue;
        for (nb::handle example : examples) {
            // Every listing counts, so an item that repeats an example carries its code twice.
            PyObject *codes = PyDict_GetItemWithError(examples_with_codes.ptr(), example.ptr());
            if (codes) {
                pyhost::status(PyList_Append(codes, code.ptr()));
            } else if (PyErr_Occurred()) {
                throw nb::python_error();
            } else {
                nb::list first;
                first.append(code);
                examples_with_codes[example] = first;
            }
        }
    }

    nb::list example_lines;
    for (auto [example, codes] : examples_with_codes) {
        nb::list parts;
        parts.append("[");
        parts.append(join(", ", codes));
        parts.append("] ");
        parts.append(formatted(example));
        example_lines.append(join("", parts));
    }
    return nb::make_tuple(join("", category_parts), join("\n", example_lines));
}

}  // namespace

void init_safety_base(nb::module_ m) {
    nb::handle text = reinterpret_cast<PyObject *>(&PyUnicode_Type);
    nb::object list_of_text = nb::module_::import_("builtins").attr("list")[text];

    pyhost::ClassBuilder(m, "SafetyItem",
                         "Protocol for safety items.\n\n"
                         "Any object with a read-only `label`, an optional `description` and optional `examples` "
                         "is a safety item; nothing derives from or registers with this protocol.")
        .base(pyhost::import_from("typing", "Protocol"))
        .property(
            "label", [](nb::handle) { return nb::none(); }, "The display name of the item.")
        .annotate("description", pyhost::optional(text))
        .annotate("examples", pyhost::optional(list_of_text))
        .build();

    // Read on the base it stays abstract (so every builder must define it); called there, it says so.
    nb::object with_defaults_body = nb::cpp_function(
        [](nb::handle cls, nb::kwargs) -> nb::object {
            pyhost::raise(PyExc_NotImplementedError, "%S.with_defaults is abstract", cls.attr("__name__").ptr());
        },
        nb::name("with_defaults"), nb::arg("cls"), nb::arg("kwargs"));
    nb::object with_defaults = nb::module_::import_("builtins").attr("classmethod")(
        vadrel_abstract::descriptor_class(m)(pyhost::signed_function(with_defaults_body, m.attr("__name__"),
                                                                     nb::str("BaseSafetyConfigBuilder.with_defaults"))));

    nb::object base =
        pyhost::ClassBuilder(m, "BaseSafetyConfigBuilder",
                             "Abstract base of the safety configuration builders.\n\n"
                             "A builder does all its work when it is constructed; `get_string` and `to_dict` only "
                             "read what the constructor stored.")
            .base(pyhost::import_from("abc", "ABC"))
            .attr("get_string", vadrel_abstract::abstract_method(
                                    m, "BaseSafetyConfigBuilder", "get_string", "The formatted prompt text for the language model's context."))
            .attr("to_dict", vadrel_abstract::abstract_method(
                                 m, "BaseSafetyConfigBuilder", "to_dict", "The structured form of the builder's configuration."))
            .attr("with_defaults", with_defaults)
            .staticmethod("_get_formatted_items", &get_formatted_items, nb::arg("items").none(), nb::arg("prefix").none(),
                          "Format `items` as a pair of texts: one \"[<prefix><position>] label: description\" line per "
                          "item, each ending with a line feed, and one \"[codes] example\" line per distinct example, "
                          "joined by line feeds.")
            .build();

    m.attr("T") = pyhost::import_from("typing", "TypeVar")("T", nb::arg("bound") = base);
}

}  // namespace vadrel_guardrail
