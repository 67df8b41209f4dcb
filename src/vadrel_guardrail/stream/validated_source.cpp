// `_ValidatedSource`: the caller's chunks as the stream pipeline reads them: text only, one chunk of look-ahead, and
// closed at most once.
#include "vadrel_guardrail/stream/validated_source.hpp"

#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"
#include "vadrel_guardrail/stream/internal.hpp"
#include "vadrel_guardrail/stream/items.hpp"

namespace vadrel_guardrail::stream {

namespace {

pyhost::Global ValidatedSourceType;
pyhost::Global logger;  // the manager module's

constexpr const char *kMissingWhenSet = "Buffered chunk missing when _has_buffer was set.";
constexpr const char *kMissingAfterRead = "Buffered chunk missing after reading from source.";

[[noreturn]] void stop_async_iteration() {
    pyhost::raise(nb::handle(PyExc_StopAsyncIteration)());
}

[[noreturn]] void raise_not_text(nb::handle item) {
    pyhost::raise(base_engine::GuardrailStreamValidationError(
        nb::str("Stream chunks must be strings. Got: {}").format(item.type())));
}

nb::object accept_chunk(ValidatedSource &vs, nb::object item) {
    if (!PyUnicode_Check(item.ptr())) raise_not_text(item);
    vs.any_chunk = true;
    return item;
}

// The look-ahead chunk, handed out.
nb::object take_held(ValidatedSource &vs) {
    vs.has_buffer = false;
    if (!vs.buffered.is_valid() || vs.buffered.is_none()) raise_validation(kMissingWhenSet);
    return vs.buffered;
}

// `_next`: one chunk read from the caller's iterator and validated.
pyasync::Task _next(nb::object self) {
    std::optional<nb::object> item = co_await pyasync::anext_method(validated(self).source);
    if (!item) stop_async_iteration();
    co_return accept_chunk(validated(self), std::move(*item));
}

// What `__anext__` and `peek` await for a fresh chunk; callers may replace it.
Step<&_next> next_step;

pyasync::Task anext(nb::object self) {
    ValidatedSource &vs = validated(self);
    if (vs.closed) stop_async_iteration();
    if (vs.has_buffer) co_return take_held(vs);
    co_return co_await next_step(self);
}

void log_close_failure(const nb::python_error &failure) {
    nb::object error = nb::borrow(failure.value());
    pyhost::HandledException handled(error);
    logger.attr("debug")(nb::str("Error closing validated source: {}").format(error), nb::arg("exc_info") = true);
}

// `aclose`.
pyasync::VoidTask aclose(nb::object self) {
    ValidatedSource &vs = validated(self);
    if (vs.closed) co_return;
    // Marked closed before anything is awaited: a close that comes meanwhile does nothing.
    vs.closed = true;
    vs.has_buffer = false;
    vs.buffered = nb::none();
    auto source = co_await pyasync::hold(or_none(vs.source));
    // A bridge generator is closed in this frame; anything else through its `aclose`, when it has one.
    auto close = co_await pyasync::hold(nb::object());
    if (!pyasync::is_async_gen(*source)) {
        close = pyhost::optional_attr(*source, "aclose");
        if (!close->is_valid()) co_return;
    }
    std::optional<nb::python_error> failure;
    try {
        if (close->is_valid()) {
            co_await (*close)();
        } else {
            co_await pyasync::aclose(*source);
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        failure.emplace(std::move(e));
    }
    if (failure) log_close_failure(*failure);
}

}  // namespace

bool is_validated_source(nb::handle obj) {
    return Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject *>(ValidatedSourceType.get().ptr());
}

ValidatedSource &validated(nb::handle obj) { return *nb::inst_ptr<ValidatedSource>(obj); }

nb::object make_validated_source(nb::handle chunks) { return ValidatedSourceType(chunks); }

bool InputRead::await_ready() {
    if (!is_validated_source(source_)) {
        checked_ = true;
        inner_.emplace(pyasync::anext(source_));
        return inner_->await_ready();
    }
    ValidatedSource &vs = validated(source_);
    if (vs.closed) return true;  // the end
    if (vs.has_buffer) {
        held_ = true;
        return true;
    }
    if (next_step.replaced(source_)) {
        checked_ = true;  // through `__anext__`, which validates as whatever replaced `_next` does
        inner_.emplace(pyasync::anext(source_));
    } else {
        inner_.emplace(pyasync::anext_method(or_none(vs.source)));
    }
    return inner_->await_ready();
}

std::optional<nb::object> InputRead::await_resume() {
    if (held_) return take_held(validated(source_));
    if (!inner_) return std::nullopt;
    std::optional<nb::object> item = inner_->await_resume();
    if (item && !checked_) return accept_chunk(validated(source_), std::move(*item));
    return item;
}

pyasync::Task peek(nb::object self) {
    ValidatedSource &vs = validated(self);
    if (vs.closed) stop_async_iteration();
    if (!vs.has_buffer) {
        nb::object chunk = co_await next_step(self);
        ValidatedSource &after = validated(self);
        after.buffered = chunk;
        after.has_buffer = true;
        if (chunk.is_none()) raise_validation(kMissingAfterRead);
        co_return chunk;
    }
    if (!vs.buffered.is_valid() || vs.buffered.is_none()) raise_validation(kMissingWhenSet);
    co_return vs.buffered;
}

void define_validated_source(nb::module_ m) {
    if (nb::type<ValidatedSource>().is_valid()) {  // a second load of the module: the class stands
        nb::setattr(m, "_ValidatedSource", ValidatedSourceType.get());
        return;
    }
    logger.set(m.attr("logger"));
    nb::class_<ValidatedSource> cls(m, "_ValidatedSource",
                                    "Wrap the source iterator and validate that each chunk is a string.",
                                    nb::type_slots(collected_slots<ValidatedSource>));
    cls.def(
           "__init__",
           [](ValidatedSource *self, nb::handle source) {
               nb::object iterator = nb::getattr(source, "__aiter__")();
               new (self) ValidatedSource{std::move(iterator), nb::none()};
           },
           nb::arg("source").none(), "Initialize with the source iterable.")
        .def("__aiter__", [](nb::handle self) { return nb::borrow(self); },
             "Return this validated source as an asynchronous iterator.")
        .def("__anext__", method_of<ValidatedSource>(&anext, "__anext__", "_ValidatedSource.__anext__"),
             "Get the next source chunk, validating it is a string.\n\n"
             "Raises GuardrailStreamValidationError when a source item is not text, and StopAsyncIteration when\n"
             "the source is exhausted.")
        .def("peek", method_of<ValidatedSource>(&peek, "peek", "_ValidatedSource.peek"),
             "Return the next source chunk without consuming it.\n\n"
             "Raises GuardrailStreamValidationError when a source item is not text, and StopAsyncIteration when\n"
             "the source is exhausted.")
        .def("_next", method_of<ValidatedSource>(&_next, "_next", "_ValidatedSource._next"),
             "Read and validate the next source chunk.\n\n"
             "Raises GuardrailStreamValidationError when a source item is not text, and StopAsyncIteration when\n"
             "the source is exhausted.")
        .def("aclose",
             method_of<ValidatedSource>(&aclose, "aclose", "_ValidatedSource.aclose"),
             "Close the underlying iterator when supported.")
        .def_prop_rw(
            "_source", [](ValidatedSource &vs) { return or_none(vs.source); },
            [](ValidatedSource &vs, nb::handle value) { vs.source = nb::borrow(value); },
            nb::for_setter(nb::arg("value").none()))
        .def_rw("any_chunk", &ValidatedSource::any_chunk, "Whether the source has yielded at least one chunk.")
        .def_rw("_closed", &ValidatedSource::closed)
        .def_prop_rw(
            "_buffered_chunk", [](ValidatedSource &vs) { return or_none(vs.buffered); },
            [](ValidatedSource &vs, nb::handle value) { vs.buffered = nb::borrow(value); },
            nb::for_setter(nb::arg("value").none()))
        .def_rw("_has_buffer", &ValidatedSource::has_buffer);
    ValidatedSourceType.set(cls);
    next_step.init(cls, "_next", "_ValidatedSource._next");
}

}  // namespace vadrel_guardrail::stream
