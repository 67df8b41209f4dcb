// `vadrel_guardrail.guardrail_manager`: GuardrailManager, its engine list and error policy, and the
// complete-text check; streams go through the pipeline in stream/.
#include "pyasync/pyasync.hpp"
#include "pyhost/frame.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/raising.hpp"
#include "pyhost/signatures.hpp"
#include "vadrel_guardrail/constants.hpp"
#include "vadrel_guardrail/engine/base_engine.hpp"
#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"
#include "vadrel_guardrail/stream/pipeline.hpp"

namespace vadrel_guardrail {

namespace {

pyhost::Global this_module;
pyhost::Global logger;
pyhost::Global GuardrailManager;
pyhost::Global BaseInvokerError;

bool is_positive_int(nb::handle value) {
    return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()) && value > nb::int_(0);
}

nb::tuple validate_buffer_limits(nb::handle max_stream_buffer_bytes, nb::handle max_stream_buffer_chunks) {
    nb::object bytes_limit = max_stream_buffer_bytes.is_none() ? nb::int_(constants::kDefaultMaxStreamBufferBytes)
                                                               : nb::borrow(max_stream_buffer_bytes);
    nb::object chunks_limit = max_stream_buffer_chunks.is_none()
                                  ? nb::int_(constants::kDefaultMaxStreamBufferChunks)
                                  : nb::borrow(max_stream_buffer_chunks);
    if (!is_positive_int(bytes_limit)) {
        pyhost::raise(PyExc_ValueError, "max_stream_buffer_bytes must be a positive integer.");
    }
    if (!is_positive_int(chunks_limit)) {
        pyhost::raise(PyExc_ValueError, "max_stream_buffer_chunks must be a positive integer.");
    }
    return nb::make_tuple(bytes_limit, chunks_limit);
}

bool is_engine(nb::handle value) {
    return nb::isinstance(value, base_engine::GuardrailEngine.get());
}

void init_manager(nb::handle self, nb::handle engine, nb::handle empty_content_safe, nb::handle error_conservative,
                  nb::handle raise_on_exceptions, nb::handle max_stream_buffer_bytes,
                  nb::handle max_stream_buffer_chunks) {
    // Settings are validated in declaration order: the first bad one names the error.
    if (engine.is_none()) {
        nb::setattr(self, "_engines", nb::none());
        nb::setattr(self, "_default_engine_factory", nb::getattr(GuardrailManager.get(), "_default_engine"));
    } else if (is_engine(engine)) {
        nb::list engines;
        engines.append(engine);
        nb::setattr(self, "_engines", engines);
        nb::setattr(self, "_default_engine_factory", nb::none());
    } else if (PyList_Check(engine.ptr())) {
        if (nb::len(engine) == 0) {
            pyhost::raise(PyExc_ValueError, "engine cannot be an empty list.");
        }
        for (nb::handle item : engine) {
            if (!is_engine(item)) {
                pyhost::raise(PyExc_TypeError, "All items in engine list must be a GuardrailEngine.");
            }
        }
        nb::setattr(self, "_engines", engine);
        nb::setattr(self, "_default_engine_factory", nb::none());
    } else {
        pyhost::raise(PyExc_TypeError, "engine must be a GuardrailEngine or a list of GuardrailEngine");
    }

    nb::handle defaults = constants::GuardrailConstants.get();
    nb::setattr(self, "empty_content_safe",
                empty_content_safe.is_none() ? defaults.attr("DEFAULT_EMPTY_CONTENT_SAFE") : nb::borrow(empty_content_safe));
    nb::setattr(self, "error_conservative",
                error_conservative.is_none() ? defaults.attr("DEFAULT_ERROR_CONSERVATIVE") : nb::borrow(error_conservative));

    nb::object exceptions =
        raise_on_exceptions.is_none() ? defaults.attr("DEFAULT_RAISE_ON_EXCEPTIONS") : nb::borrow(raise_on_exceptions);
    if (!PyTuple_Check(exceptions.ptr())) {
        pyhost::raise(PyExc_TypeError, "raise_on_exceptions must be a tuple of Exception subclasses.");
    }
    for (nb::handle item : exceptions) {
        if (!PyType_Check(item.ptr()) || !PyType_IsSubtype((PyTypeObject *)item.ptr(), (PyTypeObject *)PyExc_Exception)) {
            pyhost::raise(PyExc_TypeError, "All items in raise_on_exceptions must be Exception subclasses.");
        }
    }
    nb::setattr(self, "raise_on_exceptions", exceptions);

    // Read through the sequence protocol: a subclass's own validation may answer any sequence.
    nb::object limits = self.attr("_validate_buffer_limits")(max_stream_buffer_bytes, max_stream_buffer_chunks);
    nb::setattr(self, "max_stream_buffer_bytes", limits[0]);
    nb::setattr(self, "max_stream_buffer_chunks", limits[1]);
}

// Attribute names read on every check, made once.
struct Names {
    nb::handle config = pyhost::intern("config");
    nb::handle guardrail_mode = pyhost::intern("guardrail_mode");
    nb::handle input = pyhost::intern("input");
    nb::handle output = pyhost::intern("output");
    nb::handle is_safe = pyhost::intern("is_safe");
    nb::handle check_input = pyhost::intern("check_input");
    nb::handle check_output = pyhost::intern("check_output");
    nb::handle engines = pyhost::intern("engines");
    nb::handle engines_held = pyhost::intern("_engines");
    nb::handle filtered_content = pyhost::intern("filtered_content");
    nb::handle score = pyhost::intern("score");
};

const Names &names() {
    static const Names *made = new Names();  // kept for the process
    return *made;
}

nb::object engines(nb::handle self) {
    nb::object current = self.attr(names().engines_held);
    if (current.is_none()) {
        nb::list built;
        built.append(self.attr("_default_engine_factory")());
        nb::setattr(self, "_engines", built);
        return built;
    }
    return current;
}

nb::object default_engine() {
    nb::handle module = this_module.get();
    return module.attr("DMGuardrailEngine")
        .attr("from_config")(nb::arg("model_id") = module.attr("DEFAULT_DM_MODEL_ID"),
                             nb::arg("engine_config") = module.attr("DMGuardrailEngineConfig")());
}

// `current` may be unset: no safe verdict yet.
nb::object merge_safe_result(nb::handle current, nb::handle latest) {
    nb::object filtered = latest.attr(names().filtered_content);
    if (filtered.is_none() && current.is_valid()) {
        filtered = current.attr(names().filtered_content);
    }
    return schema::safe_result(filtered, latest.attr(names().score));
}



// What a check reads of its content: a record's input and output, read at each use; an exact str is the
// input alone, which `GuardrailInput(input=text)` would hold unchanged, so no record is made of it.
struct Texts {
    nb::object record;
    nb::object text;

    nb::object input() const { return record.is_valid() ? record.attr(names().input) : text; }
    nb::object output() const { return record.is_valid() ? record.attr(names().output) : nb::none(); }
};

Texts texts_of(nb::handle content) {
    if (PyUnicode_CheckExact(content.ptr())) return {nb::object(), nb::borrow(content)};
    return {PyUnicode_Check(content.ptr()) ? schema::input_record(content) : nb::borrow(content), nb::object()};
}

pyasync::Task check_engine(nb::object engine, Texts content, nb::object engine_kwargs) {
    const constants::Modes &modes = constants::modes;
    // The mode is read afresh for each test, and compared as text.
    auto mode_is = [&](const pyhost::Global &a, const pyhost::Global *b) {
        nb::object mode = engine.attr(names().config).attr(names().guardrail_mode);
        return mode.equal(a.get()) || (b && mode.equal(b->get()));
    };
    if (mode_is(modes.disabled, nullptr)) {
        co_return nb::none();
    }
    nb::object result = nb::none();
    if (mode_is(modes.input_only, &modes.both)) {
        nb::object text = content.input();
        if (pyhost::truth(text)) {
            result = co_await base_engine::call_method_with_content(engine, names().check_input, text, engine_kwargs);
        }
    }
    if (mode_is(modes.output_only, &modes.both)) {
        nb::object text = content.output();
        if (pyhost::truth(text) && (result.is_none() || pyhost::truth(result.attr(names().is_safe)))) {
            result = co_await base_engine::call_method_with_content(engine, names().check_output, text, engine_kwargs);
        }
    }
    co_return result;
}

pyasync::Task run_engine(nb::object, nb::object engine, nb::object content, nb::object engine_kwargs) {
    co_return co_await check_engine(std::move(engine), Texts{std::move(content), nb::object()}, std::move(engine_kwargs));
}


// The error policy of the complete-text check (also reached from Python as `_handle_engine_error`).
nb::object handle_engine_error(nb::handle self, nb::handle error, nb::handle log_message, nb::handle reason) {
    logger.attr("error")(log_message, nb::arg("exc_info") = true);
    if (nb::isinstance(error, self.attr("raise_on_exceptions"))) {
        pyhost::raise(error);
    }
    if (!pyhost::truth(self.attr("error_conservative"))) {
        return nb::none();
    }
    return schema::GuardrailResult.attr("unsafe")(reason);
}

// The policy for a failure the check may absorb: a result to answer with, or none to go on.
// BaseInvokerError and what does not derive from Exception pass unchanged.
nb::object apply_error_policy(nb::handle self, nb::python_error &error, nb::str log_message, nb::str reason) {
    if (error.matches(BaseInvokerError.get()) || !error.matches(PyExc_Exception)) {
        throw std::move(error);
    }
    nb::object exception = nb::borrow(error.value());
    pyhost::HandledException handled(exception);
    return handle_engine_error(self, exception, log_message, reason);
}

pyasync::Task check_content(nb::object self, nb::object content, nb::object engine_kwargs) {
    if (!PyUnicode_Check(content.ptr()) && !nb::isinstance(content, schema::GuardrailInput.get())) {
        nb::str message = nb::str("Content must be a string or GuardrailInput. Got: {}").format(content.type());
        pyhost::raise(PyExc_ValueError, "%U", message.ptr());
    }
    const Texts texts = texts_of(content);
    nb::handle result_cls = schema::GuardrailResult.get();
    if (!pyhost::truth(texts.input()) && !pyhost::truth(texts.output())) {
        if (pyhost::truth(self.attr("empty_content_safe"))) {
            co_return result_cls.attr("safe")();
        }
        co_return result_cls.attr("unsafe")("Empty content not allowed");
    }
    // The running safe result; made only when it is the answer, as most checks replace it at once.
    nb::object merged;
    auto running = [&merged]() { return merged.is_valid() ? merged : schema::safe_result(); };
    if (!pyhost::truth(engine_kwargs)) {
        engine_kwargs = nb::dict();
    }

    nb::object engines;
    try {
        engines = self.attr(names().engines);
    } catch (nb::python_error &error) {
        nb::str text = nb::str(error.value());
        nb::str message = nb::str("Error initializing guardrail engines: {}").format(text);
        nb::object answer = apply_error_policy(self, error, message, message);
        co_return answer.is_none() ? running() : answer;
    }

    for (nb::handle item : engines) {
        nb::object engine = nb::borrow(item);
        nb::object result;
        pyasync::Caught failure;
        try {
            result = co_await check_engine(engine, texts, engine_kwargs);
        } catch (...) {
            failure.capture();
        }
        if (failure) {
            nb::str text = nb::str(failure->value());
            nb::object answer = apply_error_policy(
                self, *failure,
                nb::str("Error checking content with guardrails engine {}: {}")
                    .format(engine.type().attr("__name__"), text),
                nb::str("Error checking content: {}").format(text));
            if (!answer.is_none()) {
                co_return answer;
            }
            continue;
        }
        if (result.is_none()) {
            continue;
        }
        if (!pyhost::truth(result.attr(names().is_safe))) {
            co_return result;
        }
        merged = merge_safe_result(merged, result);
    }
    co_return running();
}

pyasync::Task run(nb::object self, nb::kwargs kwargs) {
    if (!kwargs.contains("content")) {
        pyhost::raise(PyExc_ValueError, "Content is required");
    }
    nb::object engine_kwargs = kwargs.contains("engine_kwargs") ? nb::object(kwargs["engine_kwargs"]) : nb::none();
    co_return co_await check_content(self, kwargs["content"], engine_kwargs);
}

// `check_content` from its arguments as the method binds them itself: the manager, the content, the engines'
// keywords.
nb::object check_content_bound(const nb::handle *params, nb::handle) {
    return check_content(nb::borrow(params[0]), nb::borrow(params[1]), nb::borrow(params[2]))
        .named("check_content", "GuardrailManager.check_content")
        .to_python();
}

}  // namespace

void init_guardrail_manager(nb::module_ m) {
    // The module's names from elsewhere, bound as its imports would bind them: callers and tests
    // may look them up (or replace them) here.
    this_module.set(m);
    pyhost::reexport(m, "collections", {"deque"});
    pyhost::reexport(m, "collections.abc", {"AsyncGenerator", "AsyncIterable", "AsyncIterator", "Callable"});
    pyhost::reexport(m, "typing", {"Any", "cast"});
    pyhost::reexport(m, "vadrel_core.schema", {"Component"});
    pyhost::reexport(m, "vadrel_core.utils", {"LoggerManager"});
    pyhost::reexport(m, "vadrel_inference.exceptions", {"BaseInvokerError"});
    pyhost::reexport(m, "vadrel_guardrail.constants",
                     {"DEFAULT_MAX_STREAM_BUFFER_BYTES", "DEFAULT_MAX_STREAM_BUFFER_CHUNKS", "GuardrailConstants",
                      "GuardrailMode"});
    pyhost::reexport(m, "vadrel_guardrail.engine.base_engine",
                     {"GuardrailEngine", "GuardrailStreamBufferLimitError", "GuardrailStreamValidationError",
                      "StreamingGuardrailEngine", "_buffer_source"});
    pyhost::reexport(m, "vadrel_guardrail.engine.dm_engine",
                     {"DEFAULT_DM_MODEL_ID", "DMGuardrailEngine", "DMGuardrailEngineConfig"});
    pyhost::reexport(m, "vadrel_guardrail.schema", {"GuardrailInput", "GuardrailResult", "GuardrailStreamChunk"});
    nb::object component = m.attr("Component");
    BaseInvokerError.set(m.attr("BaseInvokerError"));

    m.attr("manager") = m.attr("LoggerManager")();
    logger.set(m.attr("manager").attr("get_logger")(m.attr("__name__")));
    m.attr("logger") = logger.get();

    GuardrailManager.set(
        pyhost::ClassBuilder(m, "GuardrailManager",
                             "Manage content guardrails using pluggable engines.\n\n"
                             "This component provides content filtering and safety checks, delegating the\n"
                             "provider-specific logic to one or more GuardrailEngine instances.")
            .base(component)
            .method("__init__", &init_manager, nb::arg("engine").none(), nb::arg("empty_content_safe").none(),
                    nb::arg("error_conservative").none(), nb::arg("raise_on_exceptions").none(),
                    nb::arg("max_stream_buffer_bytes").none(), nb::arg("max_stream_buffer_chunks").none(),
                    "Initialize the GuardrailManager class.")
            .property("engines", &engines,
                      "Return configured engines, lazily building the default when none was provided.")
            .method("check_content", &check_content, nb::arg("content").none(), nb::arg("engine_kwargs").none(),
                    "Check the content for safety using configured engines.")
            .method("_handle_engine_error", &handle_engine_error, nb::arg("error"), nb::arg("log_message"),
                    nb::arg("reason").none(), "Log an engine error and return an unsafe result or None to continue.")
            .method("check_input_stream", &stream::check_input_stream, nb::arg("chunks").none(),
                    nb::arg("engine_kwargs").none(), "Check an input stream through configured engines.")
            .method("check_output_stream", &stream::check_output_stream, nb::arg("chunks").none(),
                    nb::arg("engine_kwargs").none(), "Check an output stream through configured engines.")
            .method("_run", &run, nb::arg("kwargs"), "Run the guardrail manager component.")
            .staticmethod("_default_engine", &default_engine,
                          "Build the default guardrail engine used when none is provided.")
            .staticmethod("_validate_buffer_limits", &validate_buffer_limits,
                          nb::arg("max_stream_buffer_bytes").none(), nb::arg("max_stream_buffer_chunks").none(),
                          "Resolve and validate strict stream buffer limits.")
            .method("_run_engine", &run_engine, nb::arg("engine").none(), nb::arg("content").none(),
                    nb::arg("engine_kwargs").none(),
                    "Run checks for one engine according to its configured guardrail mode.")
            .staticmethod("_merge_safe_result", &merge_safe_result, nb::arg("current").none(), nb::arg("latest").none(),
                          "Combine the latest safe engine result with any previously produced filtered content.")
            .method("_check_stream", &stream::_check_stream, nb::arg("chunks").none(), nb::arg("direction").none(),
                    nb::arg("engine_kwargs").none(), "Run the streaming guardrail pipeline for a direction.")
            .build());
    // A check runs on every text: it binds its arguments itself, in one pass.
    pyhost::bind_arguments_here(GuardrailManager.get().attr("check_content"), &check_content_bound);
    stream::define_stream_classes(m);
}

}  // namespace vadrel_guardrail
