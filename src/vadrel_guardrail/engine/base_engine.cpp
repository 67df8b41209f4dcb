// `vadrel_guardrail.engine.base_engine`: the engine Protocols, the stream errors, the strict full-stream
// adapter with its buffer caps, and the call of an engine's check with the caller's keyword arguments.
#include "vadrel_guardrail/engine/base_engine.hpp"

#include <cstdint>
#include <optional>

#include "pyasync/pyasync.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/constants.hpp"
#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail {

namespace base_engine {
pyhost::Global BaseGuardrailEngineConfig;
pyhost::Global GuardrailEngine;
pyhost::Global StreamingGuardrailEngine;
pyhost::Global GuardrailStreamValidationError;
pyhost::Global GuardrailStreamBufferLimitError;
pyhost::Global FullStreamGuardrailAdapter;
pyhost::Global BufferResult;

void raise_buffer_limit(const char *limit_kind, nb::handle configured_limit, nb::handle attempted) {
    pyhost::raise(GuardrailStreamBufferLimitError(limit_kind, configured_limit, attempted));
}

std::int64_t utf8_length(nb::handle chunk) {
    PyObject *text = chunk.ptr();
    if (!PyUnicode_CheckExact(text)) {
        // Anything else is asked for its encoding, as Python would (and fails as it would).
        return static_cast<std::int64_t>(nb::len(chunk.attr("encode")()));
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        return length;
    }
    std::int64_t bytes = length;
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) continue;
        if (c < 0x800) {
            bytes += 1;
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                // A lone surrogate has no UTF-8 form: let Python raise its own encoding error.
                Py_XDECREF(PyUnicode_AsUTF8String(text));
                throw nb::python_error();
            }
            bytes += 2;
        } else {
            bytes += 3;
        }
    }
    return bytes;
}

// A cap as a machine integer when it is one; anything else is compared by Python's own comparison.
std::optional<std::int64_t> small_int(nb::handle cap) {
    if (!PyLong_CheckExact(cap.ptr())) return std::nullopt;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(cap.ptr(), &overflow);
    if (overflow) return std::nullopt;
    return value;
}

bool exceeds(std::int64_t attempted, std::optional<std::int64_t> fast_cap, nb::handle cap) {
    if (fast_cap) return attempted > *fast_cap;
    return nb::int_(attempted) > cap;
}

StreamBuffer::StreamBuffer(nb::object max_stream_buffer_bytes, nb::object max_stream_buffer_chunks)
    : byte_cap_(std::move(max_stream_buffer_bytes)),
      chunk_cap_(std::move(max_stream_buffer_chunks)),
      byte_limit_(small_int(byte_cap_)),
      chunk_limit_(small_int(chunk_cap_)) {}

void StreamBuffer::add(nb::handle chunk) {
    const std::int64_t attempted_bytes = current_bytes_ + utf8_length(chunk);
    const std::int64_t attempted_chunks = PyList_GET_SIZE(buffered_.ptr()) + 1;
    if (exceeds(attempted_bytes, byte_limit_, byte_cap_)) {
        raise_buffer_limit("bytes", byte_cap_, nb::int_(attempted_bytes));
    }
    if (exceeds(attempted_chunks, chunk_limit_, chunk_cap_)) {
        raise_buffer_limit("chunks", chunk_cap_, nb::int_(attempted_chunks));
    }
    buffered_.append(chunk);
    current_bytes_ = attempted_bytes;
}

pyasync::Task buffer_source(nb::object source, nb::object max_stream_buffer_bytes,
                            nb::object max_stream_buffer_chunks) {
    auto chunks = co_await pyasync::hold(pyasync::AsyncIter(source));
    StreamBuffer buffer(std::move(max_stream_buffer_bytes), std::move(max_stream_buffer_chunks));
    while (std::optional<nb::object> chunk = co_await chunks->next()) {
        buffer.add(*chunk);
    }
    co_return buffer.chunks();
}

nb::object join_chunks(nb::handle buffered) {
    return pyhost::owned(PyUnicode_Join(nb::str("").ptr(), buffered.ptr()));
}

namespace {

// `keywords.update(mapping)` as the interpreter spreads `**mapping` after keywords already given: a
// name given twice is a KeyError naming it.
void spread_keywords(PyObject *keywords, PyObject *mapping) {
    if (PyDict_Check(mapping) && Py_TYPE(mapping)->tp_iter == PyDict_Type.tp_iter) {
        // A dict that iterates as a dict is spread from its own entries, whatever keys() or
        // __getitem__ a subclass defines. `content` is the only name given before it.
        static PyObject *content = PyUnicode_InternFromString("content");
        if (pyhost::status(PyDict_Contains(mapping, content))) {
            pyhost::raise(nb::handle(PyExc_KeyError)(nb::handle(content)));
        }
        pyhost::status(PyDict_Merge(keywords, mapping, 1));
        return;
    }
    for (nb::handle name : pyhost::owned(PyMapping_Keys(mapping))) {
        if (pyhost::status(PyDict_Contains(keywords, name.ptr()))) {
            pyhost::raise(nb::handle(PyExc_KeyError)(name));
        }
        nb::object value = pyhost::owned(PyObject_GetItem(mapping, name.ptr()));
        pyhost::status(PyDict_SetItem(keywords, name.ptr(), value.ptr()));
    }
}

// How the interpreter names a callable in its call errors: "module.qualname()", or "qualname()" for a builtin,
// else `str(callee)`.
nb::object function_str(PyObject *callee) {
    PyObject *qualname = nullptr;
    pyhost::status(PyObject_GetOptionalAttrString(callee, "__qualname__", &qualname));
    if (!qualname) return pyhost::owned(PyObject_Str(callee));
    nb::object held = nb::steal(qualname);
    PyObject *module = nullptr;
    pyhost::status(PyObject_GetOptionalAttrString(callee, "__module__", &module));
    nb::object module_held = module ? nb::steal(module) : nb::none();
    if (!module_held.is_none() && !module_held.equal(nb::str("builtins"))) {
        return pyhost::owned(PyUnicode_FromFormat("%S.%S()", module, qualname));
    }
    return pyhost::owned(PyUnicode_FromFormat("%S()", qualname));
}

// The interpreter's own errors for a `**mapping` that cannot be spread into a call of `callee`.
[[noreturn]] void raise_spread_error(nb::python_error &error, PyObject *callee, PyObject *mapping) {
    if (error.matches(PyExc_AttributeError)) {
        nb::object name = function_str(callee);
        pyhost::raise(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", name.ptr(),
                      Py_TYPE(mapping)->tp_name);
    }
    if (error.matches(PyExc_KeyError)) {
        nb::object args = pyhost::owned(PyException_GetArgs(error.value().ptr()));
        if (PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) == 1) {
            nb::object name = function_str(callee);
            pyhost::raise(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", name.ptr(),
                          PyTuple_GET_ITEM(args.ptr(), 0));
        }
    }
    throw std::move(error);
}

}  // namespace

nb::object call_with_content(nb::handle check, nb::handle text, nb::handle engine_kwargs) {
    if (PyDict_CheckExact(engine_kwargs.ptr()) && PyDict_GET_SIZE(engine_kwargs.ptr()) == 0) {
        static PyObject *content_name = Py_BuildValue("(s)", "content");
        PyObject *args[] = {nullptr, text.ptr()};
        return pyhost::owned(PyObject_Vectorcall(check.ptr(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, content_name));
    }
    nb::dict keywords;
    keywords["content"] = text;
    try {
        spread_keywords(keywords.ptr(), engine_kwargs.ptr());
    } catch (nb::python_error &error) {
        raise_spread_error(error, check.ptr(), engine_kwargs.ptr());
    }
    return pyhost::owned(PyObject_Call(check.ptr(), nb::tuple().ptr(), keywords.ptr()));
}

nb::object call_method_with_content(nb::handle engine, nb::handle name, nb::handle text, nb::handle engine_kwargs) {
    if (PyDict_CheckExact(engine_kwargs.ptr()) && PyDict_GET_SIZE(engine_kwargs.ptr()) == 0) {
        // `engine.name(content=text)` as Python calls a method: no bound method in between.
        static PyObject *content_name = Py_BuildValue("(s)", "content");
        PyObject *args[] = {engine.ptr(), text.ptr()};
        return pyhost::owned(PyObject_VectorcallMethod(name.ptr(), args, 1, content_name));
    }
    return call_with_content(pyhost::owned(PyObject_GetAttr(engine.ptr(), name.ptr())), text, engine_kwargs);
}

}  // namespace base_engine

namespace {

using namespace base_engine;

nb::object runtime_checkable_protocol(pyhost::ClassBuilder builder) {
    return pyhost::import_from("typing", "runtime_checkable")(builder.build());
}

// The interfaces' own operations have no behaviour: they exist for the structural test.
pyasync::Task no_result(nb::object, nb::object, nb::kwargs) { co_return nb::none(); }

void define_interfaces(nb::module_ m) {
    nb::object protocol = pyhost::import_from("typing", "Protocol");

    BaseGuardrailEngineConfig.set(
        pyhost::ClassBuilder::model(m, "BaseGuardrailEngineConfig", "Base configuration for guardrail engines.")
            .attr("model_config", pyhost::import_from("pydantic", "ConfigDict")(nb::arg("arbitrary_types_allowed") = true))
            .field("guardrail_mode", constants::GuardrailMode.get(), constants::GuardrailMode.attr("INPUT_ONLY"),
                   nullptr)
            .build());

    GuardrailEngine.set(runtime_checkable_protocol(
        pyhost::ClassBuilder(m, "GuardrailEngine",
                             "Protocol for guardrail engines.\n\n"
                             "This protocol defines the contract that all guardrail engines must implement.")
            .base(protocol)
            .annotate("config", BaseGuardrailEngineConfig.get())
            .method("check_input", &no_result, nb::arg("content").none(), nb::arg("kwargs"),
                    "Check user input before it is sent to a language model.")
            .method("check_output", &no_result, nb::arg("content").none(), nb::arg("kwargs"),
                    "Check system output before it is shown to users.")));

    nb::handle value_error = PyExc_ValueError;
    GuardrailStreamValidationError.set(
        pyhost::ClassBuilder(m, "GuardrailStreamValidationError",
                             "Raised when a stream chunk fails validation (e.g. not a string).")
            .base(value_error)
            .method(
                "__init__",
                [value_error](nb::handle self, nb::handle message) { value_error.attr("__init__")(self, message); },
                nb::arg("message").none())
            .build());

    nb::handle exception = PyExc_Exception;
    GuardrailStreamBufferLimitError.set(
        pyhost::ClassBuilder(m, "GuardrailStreamBufferLimitError",
                             "Raised when a strict stream segment exceeds its configured buffer limits.")
            .base(exception)
            .method(
                "__init__",
                [exception](nb::handle self, nb::handle limit_kind, nb::handle configured_limit, nb::handle attempted) {
                    nb::setattr(self, "limit_kind", limit_kind);
                    nb::setattr(self, "configured_limit", configured_limit);
                    nb::setattr(self, "attempted", attempted);
                    nb::str message = nb::str("Strict stream buffer {} limit exceeded: configured={}, attempted={}.")
                                          .format(limit_kind, configured_limit, attempted);
                    exception.attr("__init__")(self, message);
                },
                nb::arg("limit_kind").none(), nb::arg("configured_limit").none(), nb::arg("attempted").none())
            .build());

    auto no_stream = [](nb::handle, nb::handle, nb::kwargs) { return nb::none(); };
    StreamingGuardrailEngine.set(runtime_checkable_protocol(
        pyhost::ClassBuilder(m, "StreamingGuardrailEngine", "Optional protocol for engines that check streams natively.")
            .base(protocol)
            .method("check_input_stream", no_stream, nb::arg("chunks").none(), nb::arg("kwargs"),
                    "Check an input stream incrementally or as a strict full-stream check.")
            .method("check_output_stream", no_stream, nb::arg("chunks").none(), nb::arg("kwargs"),
                    "Check an output stream incrementally or as a strict full-stream check.")));
}

pyasync::Task buffer_and_check(nb::object, nb::object chunks, nb::object check_method,
                               nb::object max_stream_buffer_bytes, nb::object max_stream_buffer_chunks,
                               nb::kwargs kwargs) {
    nb::object buffered = co_await buffer_source(chunks, max_stream_buffer_bytes, max_stream_buffer_chunks);
    nb::object result = co_await call_with_content(check_method, join_chunks(buffered), kwargs);
    co_return BufferResult(nb::arg("result") = result, nb::arg("buffered") = buffered);
}

// One strict stream check: everything is read and checked before the first item is produced.
pyasync::AsyncGen adapter_stream(nb::object self, const char *operation, nb::object chunks,
                                 nb::object max_stream_buffer_bytes, nb::object max_stream_buffer_chunks,
                                 nb::kwargs kwargs) {
    nb::object check_method = self.attr("engine").attr(operation);
    // Through the attribute, so that a keyword named like one of its parameters collides as it would.
    nb::object outcome = co_await self.attr("_buffer_and_check")(
        chunks, check_method, nb::arg("max_stream_buffer_bytes") = max_stream_buffer_bytes,
        nb::arg("max_stream_buffer_chunks") = max_stream_buffer_chunks, **kwargs);
    nb::object result = outcome.attr("result");
    if (!pyhost::truth(result.attr("is_safe"))) {
        co_yield schema::terminal_marker(result.attr("reason"));
        co_return;
    }
    for (nb::handle chunk : outcome.attr("buffered")) {
        co_yield schema::safe_item(chunk);
    }
}

pyasync::AsyncGen check_input_stream(nb::object self, nb::object chunks, nb::object max_bytes, nb::object max_chunks,
                                     nb::kwargs kwargs) {
    return adapter_stream(self, "check_input", chunks, max_bytes, max_chunks, kwargs)
        .named("check_input_stream", "FullStreamGuardrailAdapter.check_input_stream");
}

pyasync::AsyncGen check_output_stream(nb::object self, nb::object chunks, nb::object max_bytes,
                                      nb::object max_chunks, nb::kwargs kwargs) {
    return adapter_stream(self, "check_output", chunks, max_bytes, max_chunks, kwargs)
        .named("check_output_stream", "FullStreamGuardrailAdapter.check_output_stream");
}

void define_full_stream(nb::module_ m) {
    m.def("_buffer_source", &buffer_source, nb::arg("source").none(), nb::arg("max_stream_buffer_bytes").none(),
          nb::arg("max_stream_buffer_chunks").none(), "Buffer source chunks without exceeding configured limits.");

    FullStreamGuardrailAdapter.set(
        pyhost::ClassBuilder(m, "FullStreamGuardrailAdapter",
                             "Strict full-stream adapter for legacy GuardrailEngine implementations.")
            .attr("requires_full_stream", nb::bool_(true))
            .annotate("engine", GuardrailEngine.get())
            .method(
                "__init__", [](nb::handle self, nb::handle engine) { nb::setattr(self, "engine", engine); },
                nb::arg("engine").none(), "Wrap a complete-text engine.")
            .method("check_input_stream", &check_input_stream, nb::arg("chunks").none(),
                    nb::arg("max_stream_buffer_bytes").none(),
                    nb::arg("max_stream_buffer_chunks").none(), nb::arg("kwargs"),
                    "Buffer the whole input stream, check it once, then release it or block it.")
            .method("check_output_stream", &check_output_stream, nb::arg("chunks").none(),
                    nb::arg("max_stream_buffer_bytes").none(),
                    nb::arg("max_stream_buffer_chunks").none(), nb::arg("kwargs"),
                    "Buffer the whole output stream, check it once, then release it or block it.")
            .method("_buffer_and_check", &buffer_and_check, nb::arg("chunks").none(), nb::arg("check_method").none(),
                    nb::arg("max_stream_buffer_bytes").none(), nb::arg("max_stream_buffer_chunks").none(),
                    nb::arg("kwargs"), "Buffer the stream and run one complete-text check on the joined text.")
            .build());

    BufferResult.set(
        pyhost::ClassBuilder(m, "_BufferResult", "Internal holder for a complete-text result and its buffered source chunks.")
            .method(
                "__init__",
                [](nb::handle self, nb::handle result, nb::handle buffered) {
                    nb::setattr(self, "result", result);
                    nb::setattr(self, "buffered", buffered);
                },
                nb::arg("result").none(), nb::arg("buffered").none())
            .build());
}

}  // namespace

void init_base_engine(nb::module_ m) {
    // The names this module rests on, bound as its imports would bind them.
    pyhost::reexport(m, "pydantic", {"BaseModel", "ConfigDict"});
    pyhost::reexport(m, "typing", {"Any", "Protocol", "runtime_checkable"});
    pyhost::reexport(m, "collections.abc", {"AsyncIterator", "Awaitable", "Callable"});
    pyhost::reexport(m, "vadrel_guardrail.constants",
                     {"DEFAULT_MAX_STREAM_BUFFER_BYTES", "DEFAULT_MAX_STREAM_BUFFER_CHUNKS", "GuardrailMode"});
    pyhost::reexport(m, "vadrel_guardrail.schema", {"GuardrailResult", "GuardrailStreamChunk"});
    define_interfaces(m);
    define_full_stream(m);
}

}  // namespace vadrel_guardrail
