// `vadrel_guardrail_testing`: what only the tests need of the phrase matcher, outside the modules users import.
// The library's test-only entry points (built with VADREL_BUILD_TESTING) are found by name in the loaded
// `vadrel_guardrail` extension. Preloaded (LD_PRELOAD), the module also counts the C++ allocations of each
// thread, whichever extension makes them.
#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

namespace nb = nanobind;

namespace {

thread_local std::uint64_t allocations = 0;

// The next definition of an allocation function, past this module's.
template <typename F>
F next_definition(const char *name) {
    static_assert(sizeof(F) == sizeof(void *));
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// A symbol of the loaded `vadrel_guardrail` extension.
void *library_symbol(const char *name) {
    nb::object spec = nb::module_::import_("vadrel_guardrail").attr("__spec__");
    std::string origin = nb::cast<std::string>(spec.attr("origin"));
    void *library = dlopen(origin.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    void *symbol = library ? dlsym(library, name) : nullptr;
    if (library) {
        dlclose(library);  // the extension stays loaded: this only gives back the reference taken here
    }
    if (!symbol) {
        throw nb::import_error("vadrel_guardrail has no test hooks: build it with VADREL_BUILD_TESTING");
    }
    return symbol;
}

void use_phrase_cpu_path(const std::string &name) {
    using Use = int (*)(const char *, char *, std::size_t);
    static auto use = reinterpret_cast<Use>(library_symbol("vadrel_phrase_use_cpu_path"));
    char message[256] = {};
    switch (use(name.c_str(), message, sizeof message)) {
    case 0:
        return;
    case 1:
        throw nb::value_error(message);
    default:
        PyErr_SetString(PyExc_RuntimeError, message);
        throw nb::python_error();
    }
}

std::string phrase_cpu_path() {
    using Path = const char *(*)();
    static auto path = reinterpret_cast<Path>(library_symbol("vadrel_phrase_cpu_path"));
    return path();
}

bool fast_path_holds(const std::string &name) {
    using Holds = int (*)(const char *);
    static auto holds = reinterpret_cast<Holds>(library_symbol("vadrel_fast_path_holds"));
    const int answer = holds(name.c_str());
    if (answer < 0) throw nb::value_error(("no fast path is named " + name).c_str());
    return answer == 1;
}

}  // namespace

// Counted where this module comes first in the process's symbol order (preloaded), else only its own.
void *operator new(std::size_t size) {
    static auto next = next_definition<void *(*)(std::size_t)>("_Znwm");
    ++allocations;
    return next(size);
}
void *operator new[](std::size_t size) {
    static auto next = next_definition<void *(*)(std::size_t)>("_Znam");
    ++allocations;
    return next(size);
}
void *operator new(std::size_t size, std::align_val_t align) {
    static auto next = next_definition<void *(*)(std::size_t, std::align_val_t)>("_ZnwmSt11align_val_t");
    ++allocations;
    return next(size, align);
}
void *operator new[](std::size_t size, std::align_val_t align) {
    static auto next = next_definition<void *(*)(std::size_t, std::align_val_t)>("_ZnamSt11align_val_t");
    ++allocations;
    return next(size, align);
}

NB_MODULE(vadrel_guardrail_testing, m) {
    m.def("use_phrase_cpu_path", &use_phrase_cpu_path, nb::arg("name"),
          "Force the phrase matcher's CPU path ('portable', 'avx2' or 'avx512') before the first engine is built.");
    m.def("phrase_cpu_path", &phrase_cpu_path, "The phrase matcher's CPU path (choosing it when none is yet).");
    m.def("fast_path_holds", &fast_path_holds, nb::arg("name"),
          "Whether the fast path that stands for the attribute protocol on the class `name` holds.");
    m.def("allocations", [] { return allocations; },
          "The C++ allocations of the calling thread so far (counted when this module is preloaded).");
}
