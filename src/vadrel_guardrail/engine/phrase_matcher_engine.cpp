// The module `vadrel_guardrail.engine.phrase_matcher_engine`: `PhraseMatcherEngine`, banned phrases matched
// as whole words through spaCy's PhraseMatcher or one prepared regular expression.
#include "vadrel_guardrail/engine/phrase_matcher_engine.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pyasync/one_shot.hpp"
#include "pyasync/pyasync.hpp"
#include "pyhost/objects.hpp"
#include "pyhost/plain_reads.hpp"
#include "pyhost/raising.hpp"
#include "pyhost/signatures.hpp"
#include "pyhost/unchanged.hpp"
#include "pyhost/frame.hpp"
#include "vadrel_guardrail/engine/phrase_matching/automaton.hpp"
#include "vadrel_guardrail/engine/phrase_matching/registry.hpp"
#include "vadrel_guardrail/modules.hpp"
#include "vadrel_guardrail/schema/records.hpp"

namespace vadrel_guardrail {

pyhost::Global phrase_matcher_engine::PhraseMatcherEngine;

namespace {

using phrase_matching::Binding;
using phrase_matching::native_entry;
using phrase_matching::native_findall;
using phrase_matching::native_for;
using phrase_matching::NativeEntry;
using pyhost::OwnMethod;
using phrase_matching::PhraseAutomaton;
using phrase_matching::register_native;
using phrase_matching::Scratch;

// How a check reads an engine: its attributes and whether its check methods are still the class's own, all
// through Python's attribute protocol (users may subclass engines and replace what they hold).
class EngineReads {
public:
    explicit EngineReads(nb::handle self) : self_(self) {}

    nb::handle self() const { return self_; }

    // `self.name`. An exact `PhraseMatcherEngine` keeps what a check reads in its instance dict; while its class
    // is as the module made it, no class attribute stands before the dict under those names (see `engine_class`):
    // read there, with a strong reference to the dict and to the value. Anything else, and a name not in the
    // dict, is read through the attribute protocol.
    nb::object get(nb::handle name) const;

    // Whether the engine reaches `method`'s own function.
    bool reaches(const OwnMethod &method) const { return method.reached_by(self_); }

private:
    nb::handle self_;
};

// The engine class as the module made it: generic attribute reads, and no class attribute (of the class or a
// base) under any name a check reads from the instance dict. Watched once the class is built.
pyhost::Unchanged engine_class{"PhraseMatcherEngine"};

nb::object EngineReads::get(nb::handle name) const {
    if (Py_TYPE(self_.ptr()) == reinterpret_cast<PyTypeObject *>(phrase_matcher_engine::PhraseMatcherEngine.get().ptr()) &&
        engine_class.holds()) {
        nb::object dict = pyhost::owned(PyObject_GenericGetDict(self_.ptr(), nullptr));
        PyObject *value = nullptr;
        if (pyhost::status(PyDict_GetItemRef(dict.ptr(), name.ptr(), &value)) == 1) {
            return nb::steal(value);
        }
    }
    return pyhost::owned(PyObject_GetAttr(self_.ptr(), name.ptr()));
}

constexpr const char *kModuleName = "vadrel_guardrail.engine.phrase_matcher_engine";
constexpr const char *kReasonPrefix = "Content contains banned phrases: ";

constexpr const char *kDefaultBannedPhrases[] = {
    "kill yourself",   "commit suicide",    "end your life",     "make a bomb",        "how to hack",
    "steal money",     "illegal drugs",     "child porn",        "child exploitation", "racial slur",
    "hate speech",     "terrorist attack",  "mass shooting",     "torture methods",    "human trafficking",
    "credit card fraud", "identity theft",  "phishing scam",     "malware creation",   "ddos attack",
};

pyhost::Global module_;

// Module globals are read when used, as a module body's own code would: a caller that rebinds
// `SPACY_AVAILABLE`, `PhraseMatcher` or `logger` is honoured.
nb::object global(const char *name) {
    return module_.attr(name);
}


// Names read on every check, made once: a lookup by C string would build its name anew each time.
struct Names {
    nb::handle banned_phrases = intern("banned_phrases");
    nb::handle banned_phrases_regex = intern("banned_phrases_regex");
    nb::handle use_spacy = intern("use_spacy");
    nb::handle phrase_matcher = intern("phrase_matcher");
    nb::handle nlp = intern("nlp");
    nb::handle check_content = intern("_check_content");
    nb::handle check_regex = intern("_check_banned_phrases_regex");
    nb::handle check_spacy = intern("_check_banned_phrases_spacy");
    nb::handle result_type = intern("GuardrailResult");
    nb::handle unsafe = intern("unsafe");
    nb::handle lower = intern("lower");
    nb::handle content = intern("content");
    nb::handle reason_prefix = intern(kReasonPrefix);
    nb::handle separator = intern(", ");

    static nb::handle intern(const char *text) {
        return pyhost::owned(PyUnicode_InternFromString(text)).release();  // kept for the process
    }
};

const Names &names() {
    static const Names *made = new Names();
    return *made;
}

OwnMethod own_check_content, own_check_regex;

// `object.name(argument)`, without a bound method in between.
nb::object call_method(nb::handle object, nb::handle name, nb::handle argument) {
    PyObject *args[] = {object.ptr(), argument.ptr()};
    return pyhost::owned(PyObject_VectorcallMethod(name.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The text of an exception, as `str(e)` and an f-string give it.
nb::str error_text(const nb::python_error &e) {
    return nb::str(e.value());
}

// ---------------------------------------------------------------------------------------------------------
// Set-up.

// `with context: body()`, with the statement's own rules for the exit call.
template <typename F>
void with_context(nb::handle context, F &&body) {
    nb::handle type = context.type();
    nb::object exit = type.attr("__exit__");
    type.attr("__enter__")(context);
    try {
        body();
    } catch (nb::python_error &e) {
        if (!pyhost::truth(exit(context, e.type(), e.value(), e.traceback()))) {
            throw;
        }
        return;
    }
    exit(context, nb::none(), nb::none(), nb::none());
}

void initialize_matcher(nb::handle self) {
    if (self.attr("config").attr("guardrail_mode").equal(global("GuardrailMode").attr("DISABLED"))) {
        return;
    }
    if (!pyhost::truth(self.attr("banned_phrases"))) {
        return;
    }
    if (pyhost::truth(self.attr("use_spacy")) && pyhost::truth(global("SPACY_AVAILABLE"))) {
        self.attr("_initialize_spacy_matcher")();
    } else {
        self.attr("_compile_banned_phrases_regex")();
    }
}

nb::object get_or_load_spacy_model(nb::handle cls, nb::handle model_name) {
    nb::object cache = cls.attr("_spacy_model_cache");
    auto cached = [&] {
        return pyhost::status(PySequence_Contains(cache.ptr(), model_name.ptr())) != 0;
    };
    // Tested before the lock so that a cached model costs no locking, and again under it so that two
    // threads never load the same model.
    if (!cached()) {
        with_context(cls.attr("_spacy_model_lock"), [&] {
            if (!cached()) {
                cache[model_name] = global("spacy").attr("load")(model_name);
            }
        });
    }
    return cache[model_name];
}

void initialize_spacy_matcher(nb::handle self) {
    try {
        nb::setattr(self, "nlp", self.attr("_get_or_load_spacy_model")(self.attr("model_name")));
        nb::setattr(self, "phrase_matcher",
                    global("PhraseMatcher")(self.attr("nlp").attr("vocab"), nb::arg("attr") = "LOWER"));
        // The rules and the count logged come from one snapshot: the model runs Python code between phrases.
        nb::tuple phrases = pyhost::snapshot(self.attr("banned_phrases"));
        std::size_t index = 0;
        for (nb::handle phrase : phrases) {
            nb::object doc = self.attr("nlp")(phrase.attr("lower")());
            nb::list patterns;
            patterns.append(doc);
            self.attr("phrase_matcher").attr("add")(nb::str(("banned_phrase_" + std::to_string(index)).c_str()),
                                                     patterns);
            ++index;
        }
        global("logger").attr("info")(nb::str("Initialized SpaCy PhraseMatcher with {} phrases using {}")
                                          .format(nb::len(phrases), self.attr("model_name")));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        global("logger").attr("error")(
            nb::str("Error initializing SpaCy matcher: {}. Falling back to regex.").format(error_text(e)));
        nb::setattr(self, "use_spacy", nb::bool_(false));
        self.attr("_compile_banned_phrases_regex")();
    }
}

void compile_banned_phrases_regex(nb::handle self) {
    nb::object phrases = self.attr("banned_phrases");
    if (!pyhost::truth(phrases)) {
        nb::setattr(self, "banned_phrases_regex", nb::none());
        return;
    }
    // One snapshot of the phrases before any Python code runs (lowering, escaping and compiling run some, and
    // other threads with it): the pattern and the phrases bound to it both come from the snapshot alone.
    nb::tuple snapshot = pyhost::snapshot(phrases);
    nb::object re = global("re");
    nb::object escape = re.attr("escape");
    bool original_escape = phrase_matching::is_re_escape(escape);
    nb::list lowered;
    nb::list escaped;
    for (nb::handle phrase : snapshot) {
        nb::object low = pyhost::owned(PyObject_CallMethodNoArgs(phrase.ptr(), names().lower.ptr()));
        lowered.append(low);
        escaped.append(original_escape && PyUnicode_CheckExact(low.ptr()) ? phrase_matching::escaped_literally(low)
                                                                          : escape(low));
    }
    nb::object text = nb::str("\\b(") + nb::str("|").attr("join")(escaped) + nb::str(")\\b");
    nb::object pattern = re.attr("compile")(text, re.attr("IGNORECASE"));
    register_native(pattern, snapshot, lowered);
    nb::setattr(self, "banned_phrases_regex", pattern);
}

// ---------------------------------------------------------------------------------------------------------
// Matching.

// `GuardrailResult` as the module's code reads a global: from the module's namespace, without the module
// object's attribute look-up in between, which costs as much again on every check.
nb::object result_type() {
    PyObject *found = PyDict_GetItemWithError(PyModule_GetDict(module_.get().ptr()), names().result_type.ptr());
    if (!found) {
        pyhost::status(PyErr_Occurred() ? -1 : 0);
        return nb::getattr(module_.get(), names().result_type);  // gone: the look-up's own error
    }
    return nb::borrow(found);
}

nb::object safe_result() {
    nb::object cls = result_type();
    if (cls.is(schema::GuardrailResult.get())) {
        return schema::safe_result();
    }
    return cls.attr("safe")();
}

nb::object unsafe_of(nb::handle reason) {
    nb::object cls = result_type();
    if (cls.is(schema::GuardrailResult.get())) {
        return schema::unsafe_result(reason);
    }
    return call_method(cls, names().unsafe, reason);
}

// The reason that names the detected phrases.
nb::object reason_naming(nb::handle detected) {
    nb::object named = pyhost::owned(PyUnicode_Join(names().separator.ptr(), detected.ptr()));
    return pyhost::owned(PyUnicode_Concat(names().reason_prefix.ptr(), named.ptr()));
}

// The configured phrases that the distinct matched texts stand for, each the first phrase (in list order)
// whose lower-cased form equals the text; the unsafe result that names them.
nb::object unsafe_result(nb::handle self, nb::handle matched_texts) {
    nb::list detected;
    nb::object phrases = self.attr("banned_phrases");
    for (nb::handle matched : matched_texts) {
        for (nb::handle phrase : phrases) {
            if (phrase.attr("lower")().equal(matched)) {
                detected.append(phrase);
                break;
            }
        }
    }
    return unsafe_of(reason_naming(detected));
}

// The unsafe result that names the phrases `binding` gives for the matches `found` (the automaton's
// phrases, or texts among `other_texts`).
nb::object unsafe_result_of(const Binding &binding, const std::vector<std::int32_t> &found,
                            const std::vector<std::u32string> &other_texts, std::vector<std::int32_t> &named_items) {
    named_items.clear();
    for (std::int32_t index : found) {
        if (std::int32_t item = binding.item_telling(index, other_texts); item >= 0) {
            named_items.push_back(item);
        }
    }
    return unsafe_of(binding.reasons.reason(named_items, [&] {
        auto phrase = [&](std::size_t k) { return PyTuple_GET_ITEM(binding.items.ptr(), named_items[k]); };
        if (named_items.size() == 1) {  // the common case, without a sequence to join
            return pyhost::owned(PyUnicode_Concat(names().reason_prefix.ptr(), phrase(0)));
        }
        nb::object detected = pyhost::owned(PyTuple_New(static_cast<Py_ssize_t>(named_items.size())));
        for (std::size_t k = 0; k < named_items.size(); ++k) {
            PyTuple_SET_ITEM(detected.ptr(), static_cast<Py_ssize_t>(k), Py_NewRef(phrase(k)));
        }
        return reason_naming(detected);
    }));
}

// The calling thread's phrase-matching scratch, found once per check (a thread-local variable of a shared library
// costs a call at each use). A check nested on the same thread, through Python code that a check calls, shares
// it: no check runs Python code between its scan and its last read of the scratch.
[[gnu::noinline]] Scratch &thread_scratch() {
    static thread_local Scratch scratch;
    return scratch;
}

nb::object check_banned_phrases_regex(const EngineReads &engine, nb::handle content) {
    nb::handle self = engine.self();
    nb::object pattern = engine.get(names().banned_phrases_regex);
    if (!pyhost::truth(pattern)) {
        return safe_result();
    }
    // The common case: an exact text, which lower-cases as the automaton expects, scanned in place; its
    // matches reported through the binding of the engine's phrases as they are now.
    NativeEntry *entry = PyUnicode_CheckExact(content.ptr()) ? native_entry(pattern) : nullptr;
    if (entry) {
        Scratch &scratch = thread_scratch();
        const std::vector<std::int32_t> &found = scratch.found;
        const std::vector<std::u32string> &other_texts = scratch.other_texts;
        bool matched = false;
        nb::object phrases = engine.get(names().banned_phrases);
        if (entry->automaton->find_phrases_of_lowered(content.ptr(), scratch, matched, true)) {
            // The scan ended once every phrase text was found: the matches it left could only be texts that lower
            // to no phrase, which name nothing when no item of the phrases lowers to such a text.
            const Binding *binding = entry->binding_for(phrases);
            if (binding && binding->item_of_other_text.empty()) {
                return unsafe_result_of(*binding, found, other_texts, scratch.named_items);
            }
            entry->automaton->find_phrases_of_lowered(content.ptr(), scratch, matched);
        }
        if (!matched) {
            return safe_result();
        }
        if (const Binding *binding = entry->binding_for(phrases, nb::handle(), &found, &other_texts)) {
            return unsafe_result_of(*binding, found, other_texts, scratch.named_items);
        }
    }
    nb::object lowered = content.attr("lower")();
    // Distinct matched texts, in order of first occurrence (a dict keeps insertion order).
    nb::dict distinct;
    const PhraseAutomaton *automaton = PyUnicode_Check(lowered.ptr()) ? native_for(pattern) : nullptr;
    if (automaton) {
        auto spans = automaton->find_all(lowered.ptr(), thread_scratch());
        if (spans.empty()) {
            return safe_result();
        }
        for (auto span : spans) {
            distinct[pyhost::owned(PyUnicode_Substring(lowered.ptr(), span.start, span.end))] = nb::none();
        }
    } else {
        nb::object matches = pattern.attr("findall")(lowered);
        if (!pyhost::truth(matches)) {
            return safe_result();
        }
        for (nb::handle match : matches) {
            distinct[match] = nb::none();
        }
    }
    return unsafe_result(self, distinct);
}

nb::object check_banned_phrases_regex_method(nb::handle self, nb::handle content) {
    return check_banned_phrases_regex(EngineReads(self), content);
}

nb::object check_banned_phrases_spacy(nb::handle self, nb::handle content) {
    auto fall_back = [&](const nb::python_error &e) {
        global("logger").attr("warning")(
            nb::str("SpaCy matching failed: {}. Falling back to regex.").format(error_text(e)));
        if (self.attr("banned_phrases_regex").is_none()) {
            self.attr("_compile_banned_phrases_regex")();
        }
        return self.attr("_check_banned_phrases_regex")(content);
    };
    nb::object doc;
    bool any_match = false;
    nb::object matches;
    try {
        doc = self.attr("nlp")(content.attr("lower")());
        matches = self.attr("phrase_matcher")(doc);
        any_match = pyhost::truth(matches);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        return fall_back(e);
    }
    if (!any_match) {
        return safe_result();
    }
    try {
        // Distinct matched texts in the matcher's order: each stands for a different phrase, so the phrases
        // come out once each, in the order of their first detection.
        nb::dict distinct;
        for (nb::handle match : matches) {
            distinct[doc[nb::slice(match[1], match[2], nb::none())].attr("text")] = nb::none();
        }
        return unsafe_result(self, distinct);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) {
            throw;
        }
        return fall_back(e);
    }
}

// The common body of both checks; synchronous, so a check never suspends.
nb::object check_content(const EngineReads &engine, nb::handle content) {
    const Names &n = names();
    nb::handle self = engine.self();
    if (!pyhost::truth(content) || !pyhost::truth(engine.get(n.banned_phrases))) {
        return safe_result();
    }
    if (pyhost::truth(engine.get(n.use_spacy)) && pyhost::truth(engine.get(n.phrase_matcher)) &&
        pyhost::truth(engine.get(n.nlp))) {
        return call_method(self, n.check_spacy, content);
    }
    if (engine.reaches(own_check_regex)) {
        return check_banned_phrases_regex(engine, content);
    }
    return call_method(self, n.check_regex, content);
}

// Coroutines own their parameters (the caller's frame is gone when they run).
pyasync::Task check_content_task(nb::object self, nb::object content) {
    co_return check_content(EngineReads(self), content);
}

// Both directions check alike, through `_check_content` looked up on the engine when the check is awaited. The
// class's own runs at once (what awaiting it would give), without a coroutine of its own; anything else there is
// awaited. Arguments: the engine, the content, and with `kKeywords` the keywords.
template <bool kKeywords>
pyasync::Finish check_through_check_content(PyObject *const *args) {
    nb::handle self = args[0];
    nb::handle content = args[1];
    EngineReads engine(self);
    if (engine.reaches(own_check_content)) {
        return pyasync::Finish::with(check_content(engine, content));
    }
    if constexpr (!kKeywords) {
        return pyasync::Finish::awaiting(call_method(self, names().check_content, content));
    } else {
        return pyasync::Finish::awaiting(self.attr(names().check_content)(content, **nb::borrow<nb::kwargs>(args[2])));
    }
}

// A check's coroutine, from its arguments as the method binds them itself: the engine, the content, and the
// keywords when there are any.
template <const char *kName, const char *kQualname>
nb::object check_direction(const nb::handle *params, nb::handle kwargs) {
    if (kwargs.is_valid()) {
        return pyasync::one_shot(&check_through_check_content<true>, {params[0], params[1], kwargs}, kName, kQualname);
    }
    return pyasync::one_shot(&check_through_check_content<false>, {params[0], params[1]}, kName, kQualname);
}

// The binding that describes a check (its signature and documentation); calls go to `check_direction`.
template <const char *kName, const char *kQualname>
nb::object check_direction_binding(nb::handle self, nb::handle content, nb::kwargs kwargs) {
    const nb::handle params[] = {self, content};
    return check_direction<kName, kQualname>(params, nb::len(kwargs) ? nb::handle(kwargs) : nb::handle());
}

constexpr char kCheckInput[] = "check_input";
constexpr char kCheckInputQualname[] = "PhraseMatcherEngine.check_input";
constexpr char kCheckOutput[] = "check_output";
constexpr char kCheckOutputQualname[] = "PhraseMatcherEngine.check_output";

// The stream operations are ordinary functions: the adapter's stream does all the work once iterated.
nb::object check_stream(const char *direction, nb::handle self, nb::handle chunks, nb::handle max_bytes,
                        nb::handle max_chunks, nb::kwargs kwargs) {
    nb::object adapter = global("FullStreamGuardrailAdapter")(self);
    return adapter.attr(direction)(chunks, nb::arg("max_stream_buffer_bytes") = max_bytes,
                                   nb::arg("max_stream_buffer_chunks") = max_chunks, **kwargs);
}

// ---------------------------------------------------------------------------------------------------------
// Loading.

void probe_spacy(nb::module_ m) {
    try {
        nb::object spacy = nb::module_::import_("spacy");
        m.attr("spacy") = spacy;
        nb::object matcher_module = nb::module_::import_("spacy.matcher");
        nb::object phrase_matcher;
        try {
            phrase_matcher = matcher_module.attr("PhraseMatcher");
        } catch (nb::python_error &e) {
            // `from spacy.matcher import PhraseMatcher` reports a missing name as an import error.
            if (!e.matches(PyExc_AttributeError)) {
                throw;
            }
            pyhost::raise(PyExc_ImportError, "cannot import name 'PhraseMatcher' from 'spacy.matcher'");
        }
        m.attr("PhraseMatcher") = phrase_matcher;
        m.attr("SPACY_AVAILABLE") = true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) {
            throw;
        }
        m.attr("SPACY_AVAILABLE") = false;
        m.attr("PhraseMatcher") = nb::none();
        m.attr("logger").attr("warning")("SpaCy not available. Using regex-based phrase matching.");
    }
}

void define_engine(nb::module_ m) {
    nb::list defaults;
    for (const char *phrase : kDefaultBannedPhrases) {
        defaults.append(nb::str(phrase));
    }
    nb::object any = pyhost::import_from("typing", "Any");
    nb::object cache_type = nb::handle(&PyDict_Type)[nb::make_tuple(nb::handle(&PyUnicode_Type), any)];

    phrase_matcher_engine::PhraseMatcherEngine.set(
        pyhost::ClassBuilder(m, "PhraseMatcherEngine",
                             "Guardrail engine that rejects content containing banned phrases.\n\n"
                             "Phrases match case-insensitively as whole words, through a spaCy PhraseMatcher on a "
                             "process-wide cached model when spaCy is available and wanted, else through one "
                             "prepared regular expression.")
            .base(m.attr("GuardrailEngine"))
            .annotate("_spacy_model_cache", cache_type)
            .attr("_spacy_model_cache", nb::dict())
            .attr("_spacy_model_lock", m.attr("threading").attr("Lock")())
            .attr("DEFAULT_BANNED_PHRASES", defaults)
            .method(
                "__init__",
                [](nb::handle self, nb::handle config, nb::handle banned_phrases, nb::handle use_spacy,
                   nb::handle model_name) {
                    nb::setattr(self, "config", config.is_none() ? global("BaseGuardrailEngineConfig")()
                                                                 : nb::borrow(config));
                    nb::setattr(self, "banned_phrases", banned_phrases.is_none()
                                                            ? self.attr("DEFAULT_BANNED_PHRASES")
                                                            : nb::borrow(banned_phrases));
                    nb::setattr(self, "use_spacy", use_spacy.is_none() ? global("SPACY_AVAILABLE")
                                                                       : nb::borrow(use_spacy));
                    nb::setattr(self, "model_name", model_name);
                    nb::setattr(self, "banned_phrases_regex", nb::none());
                    nb::setattr(self, "phrase_matcher", nb::none());
                    nb::setattr(self, "nlp", nb::none());
                    self.attr("_initialize_matcher")();
                },
                nb::arg("config").none(), nb::arg("banned_phrases").none(),
                nb::arg("use_spacy").none(), nb::arg("model_name").none(),
                "Build the engine and its matcher.")
            .method("_initialize_matcher", &initialize_matcher,
                    "Build the spaCy matcher or the regular expression, unless the engine is disabled or has no "
                    "phrases.")
            .classmethod("_get_or_load_spacy_model", &get_or_load_spacy_model, nb::arg("model_name").none(),
                         "Return the process-wide cached spaCy model for the name, loading it on first use.")
            .method("_initialize_spacy_matcher", &initialize_spacy_matcher,
                    "Build the spaCy PhraseMatcher, one rule per phrase; fall back to the regular expression.")
            .method("_compile_banned_phrases_regex", &compile_banned_phrases_regex,
                    "Prepare one regular expression matching every phrase as a whole word, ignoring case.")
            .method("check_input", &check_direction_binding<kCheckInput, kCheckInputQualname>,
                nb::arg("content").none(), nb::arg("kwargs"), "Check user input for banned phrases.")
            .method("check_output", &check_direction_binding<kCheckOutput, kCheckOutputQualname>,
                nb::arg("content").none(), nb::arg("kwargs"), "Check model output for banned phrases.")
            .attr("requires_full_stream", nb::bool_(true))
            .method(
                "check_input_stream",
                [](nb::handle self, nb::handle chunks, nb::handle max_bytes, nb::handle max_chunks,
                   nb::kwargs kwargs) {
                    return check_stream("check_input_stream", self, chunks, max_bytes, max_chunks, std::move(kwargs));
                },
                nb::arg("chunks").none(), nb::arg("max_stream_buffer_bytes").none(),
                nb::arg("max_stream_buffer_chunks").none(), nb::arg("kwargs"),
                "Check a whole input stream through FullStreamGuardrailAdapter.")
            .method(
                "check_output_stream",
                [](nb::handle self, nb::handle chunks, nb::handle max_bytes, nb::handle max_chunks,
                   nb::kwargs kwargs) {
                    return check_stream("check_output_stream", self, chunks, max_bytes, max_chunks,
                                        std::move(kwargs));
                },
                nb::arg("chunks").none(), nb::arg("max_stream_buffer_bytes").none(),
                nb::arg("max_stream_buffer_chunks").none(), nb::arg("kwargs"),
                "Check a whole output stream through FullStreamGuardrailAdapter.")
            .method(
                "_check_content",
                [](nb::object self, nb::object content, nb::kwargs) {
                    return check_content_task(std::move(self), std::move(content))
                        .named("_check_content", "PhraseMatcherEngine._check_content")
                        .to_python();
                },
                nb::arg("content").none(), nb::arg("kwargs"),
                "Check the content through the spaCy matcher when it is ready, else the regular expression.")
            .method("_check_banned_phrases_spacy", &check_banned_phrases_spacy, nb::arg("content").none(),
                    "Check the content through the spaCy matcher; fall back to the regular expression on failure.")
            .method("_check_banned_phrases_regex", &check_banned_phrases_regex_method, nb::arg("content").none(),
                    "Check the content through the prepared regular expression.")
            .build());
    {
        nb::handle type = phrase_matcher_engine::PhraseMatcherEngine.get();
        const Names &n = names();
        bool plain = reinterpret_cast<PyTypeObject *>(type.ptr())->tp_getattro == PyObject_GenericGetAttr;
        for (nb::handle name : {n.banned_phrases, n.banned_phrases_regex, n.use_spacy, n.phrase_matcher, n.nlp}) {
            plain = plain && !nb::hasattr(type, name);
        }
        if (plain) engine_class.watch({type});
    }
    own_check_content.init(phrase_matcher_engine::PhraseMatcherEngine.get(), names().check_content);
    own_check_regex.init(phrase_matcher_engine::PhraseMatcherEngine.get(), names().check_regex);
    // A check runs on every text: it binds its arguments itself, in one pass.
    nb::handle cls = phrase_matcher_engine::PhraseMatcherEngine.get();
    pyhost::bind_arguments_here(cls.attr("check_input"), &check_direction<kCheckInput, kCheckInputQualname>);
    pyhost::bind_arguments_here(cls.attr("check_output"), &check_direction<kCheckOutput, kCheckOutputQualname>);
}

}  // namespace

void init_phrase_matcher_engine(nb::module_ m) {
    module_.set(m);
    m.attr("re") = nb::module_::import_("re");
    phrase_matching::remember_re_escape(m.attr("re"));
    m.attr("threading") = nb::module_::import_("threading");
    pyhost::reexport(m, "vadrel_guardrail.constants",
                     {"DEFAULT_MAX_STREAM_BUFFER_BYTES", "DEFAULT_MAX_STREAM_BUFFER_CHUNKS", "GuardrailMode"});
    pyhost::reexport(m, "vadrel_guardrail.engine.base_engine",
                     {"BaseGuardrailEngineConfig", "FullStreamGuardrailAdapter", "GuardrailEngine"});
    pyhost::reexport(m, "vadrel_guardrail.schema", {"GuardrailResult", "GuardrailStreamChunk"});
    pyhost::reexport(m, "vadrel_core.utils", {"LoggerManager"});
    m.attr("manager") = m.attr("LoggerManager")();
    m.attr("logger") = m.attr("manager").attr("get_logger")(kModuleName);
    probe_spacy(m);
    define_engine(m);
    // For tests: what the native automaton of a prepared pattern finds in a text, or None without one.
    m.def(
        "_native_findall",
        [](nb::handle pattern, nb::handle text) { return native_findall(pattern, text, thread_scratch()); },
        nb::arg("pattern").none(), nb::arg("text").none());
}

}  // namespace vadrel_guardrail
