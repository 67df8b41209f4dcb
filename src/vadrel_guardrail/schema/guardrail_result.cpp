// `vadrel_guardrail.schema.guardrail_result`: GuardrailResult, the verdict of a check, and the C++ helpers
// that build safe and unsafe results.
#include <algorithm>

#include "pyhost/objects.hpp"
#include "pyhost/unchanged.hpp"
#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail {

pyhost::Global schema::GuardrailResult;

namespace {
pyhost::TrustedModel trusted;
pyhost::Global safe_fields;  // what `safe` passes explicitly
pyhost::Global unsafe_fields;  // what `unsafe` passes explicitly: every field
// The class and its metaclass: while neither (nor a base of either) has changed, `GuardrailResult.safe` and
// `GuardrailResult.unsafe` are the class's own classmethods below (the metaclass holds neither name), and
// making a record is what `cls(...)` of texts and floats would make.
pyhost::Unchanged result_class{"GuardrailResult"};
pyhost::Global str_safe, str_unsafe;

// `GuardrailResult.name(*args)`, through the attribute protocol.
nb::object call_factory(const pyhost::Global &name, std::initializer_list<PyObject *> args) {
    PyObject *vector[3] = {schema::GuardrailResult.get().ptr()};
    std::copy(args.begin(), args.end(), vector + 1);
    return pyhost::owned(PyObject_VectorcallMethod(name.get().ptr(), vector, 1 + args.size(), nullptr));
}
}  // namespace

nb::object schema::safe_result() {
    if (!result_class.holds()) return call_factory(str_safe, {});
    nb::handle none = Py_None;
    return trusted.make({Py_True, none, none, none, none, none}, safe_fields.get());
}

nb::object schema::safe_result(nb::handle filtered_content, nb::handle score) {
    const bool text_ok = filtered_content.is_none() || PyUnicode_CheckExact(filtered_content.ptr());
    const bool score_ok = score.is_none() || PyFloat_CheckExact(score.ptr());
    if (!text_ok || !score_ok || !result_class.holds()) {
        return call_factory(str_safe, {filtered_content.ptr(), score.ptr()});
    }
    nb::handle none = Py_None;
    return trusted.make({Py_True, none, filtered_content, none, none, score}, safe_fields.get());
}

nb::object schema::unsafe_result(nb::handle reason) {
    if (!PyUnicode_CheckExact(reason.ptr()) || !result_class.holds()) {
        return call_factory(str_unsafe, {reason.ptr()});
    }
    nb::handle none = Py_None;
    return trusted.make({Py_False, reason, none, none, none, none}, unsafe_fields.get());
}

void init_guardrail_result(nb::module_ m) {
    nb::object text_or_none = pyhost::optional(&PyUnicode_Type);
    nb::object none = nb::none();
    schema::GuardrailResult.set(
        pyhost::ClassBuilder::model(m, "GuardrailResult", "Result of a guardrail content safety check.")
            .field("is_safe", nb::handle(&PyBool_Type), "Whether the content passed the safety check")
            .field("reason", text_or_none, none, "Human-readable reason for rejection if content is not safe")
            .field("filtered_content", text_or_none, none, "Cleaned/filtered version of content if available")
            .field("category", text_or_none, none, "Optional violation category")
            .field("policy", text_or_none, none, "Optional policy key that triggered the result")
            .field("score", pyhost::optional(&PyFloat_Type), none, "Optional score or probability for the result")
            .method(
                "to_dict",
                [](nb::handle self) {
                    nb::dict out;
                    for (const char *key : {"is_safe", "reason", "filtered_content"}) {
                        out[key] = self.attr(key);
                    }
                    for (const char *key : {"category", "policy", "score"}) {
                        nb::object value = self.attr(key);
                        if (!value.is_none()) {
                            out[key] = value;
                        }
                    }
                    return out;
                },
                "Convert to dictionary format for backward compatibility.")
            .classmethod(
                "safe",
                [](nb::handle cls, nb::handle filtered_content, nb::handle score) {
                    return cls(nb::arg("is_safe") = true, nb::arg("reason") = nb::none(),
                               nb::arg("filtered_content") = filtered_content, nb::arg("score") = score);
                },
                nb::arg("filtered_content").none(), nb::arg("score").none(), "Create a safe result.")
            .classmethod(
                "unsafe",
                [](nb::handle cls, nb::handle reason, nb::handle filtered_content, nb::handle category,
                   nb::handle policy, nb::handle score) {
                    return cls(nb::arg("is_safe") = false, nb::arg("reason") = reason,
                               nb::arg("filtered_content") = filtered_content, nb::arg("category") = category,
                               nb::arg("policy") = policy, nb::arg("score") = score);
                },
                nb::arg("reason").none(), nb::arg("filtered_content").none(), nb::arg("category").none(),
                nb::arg("policy").none(), nb::arg("score").none(), "Create an unsafe result.")
            .classmethod(
                "from_dict",
                [](nb::handle cls, nb::handle data) {
                    nb::object get = data.attr("get");
                    nb::object none = nb::none();
                    return cls(nb::arg("is_safe") = get("is_safe", true), nb::arg("reason") = get("reason", none),
                               nb::arg("filtered_content") = get("filtered_content", none),
                               nb::arg("category") = get("category", none), nb::arg("policy") = get("policy", none),
                               nb::arg("score") = get("score", none));
                },
                nb::arg("data"), "Create from dictionary format for backward compatibility.")
            .build());
    trusted.init(schema::GuardrailResult.get(), {"is_safe", "reason", "filtered_content", "category", "policy", "score"});
    safe_fields.set(trusted.names({"is_safe", "reason", "filtered_content", "score"}));
    unsafe_fields.set(trusted.names({"is_safe", "reason", "filtered_content", "category", "policy", "score"}));
    str_safe.set(nb::borrow(pyhost::intern("safe")));
    str_unsafe.set(nb::borrow(pyhost::intern("unsafe")));
    nb::handle cls = schema::GuardrailResult.get();
    nb::handle metaclass = nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(cls.ptr())));
    if (!nb::hasattr(metaclass, str_safe.get()) && !nb::hasattr(metaclass, str_unsafe.get())) {
        result_class.watch({cls, metaclass});
    }
}

}  // namespace vadrel_guardrail
