// Signatures that tools can read. A nanobind function describes its parameters only inside its
// docstring, so `inspect.signature`, `help()` and editors see nothing. A signed function is a thin
// callable around one: calls go straight through by vectorcall, it binds as a method like a
// Python function does, and it carries `__signature__` with the names, kinds and defaults that
// the binding declares, annotated with the types of the package's stubs.
#pragma once

#include <cstddef>

#include <nanobind/nanobind.h>

namespace pyhost {
namespace nb = nanobind;

// One annotation from the stubs: of `parameter` (or, for "return", the result) of the function
// `function`, written "module.qualname".
struct StubAnnotation {
    const char *function;
    const char *parameter;
    const char *annotation;
};

// An extension's annotations and the functions its stubs declare `async def` ("module.qualname"),
// generated from its stubs at build time and registered while the extension loads (a static object
// of the generated source).
class StubAnnotations {
public:
    template <std::size_t N, std::size_t C>
    StubAnnotations(const StubAnnotation (&rows)[N], const char *const (&coroutines)[C]) {
        add(rows, N, coroutines, C);
    }

private:
    static void add(const StubAnnotation *rows, std::size_t count, const char *const *coroutines,
                    std::size_t coroutine_count);
};

// A function's own body, for arguments bound as a Python function binds them: one value per parameter of its
// signature, in order, defaults filled in; `kwargs` holds the keywords that name no parameter when the
// signature takes `**kwargs` and there are any (unset otherwise).
using BoundBody = nb::object (*)(const nb::handle *params, nb::handle kwargs);
inline constexpr std::size_t kMaxBoundParams = 8;

// `f` as a signed function named `qualname` in `module` (texts) when it is a nanobind function;
// anything else unchanged.
nb::object signed_function(nb::handle f, nb::handle module, nb::handle qualname);

// Has the signed function `function` bind its arguments itself and call `body` with them, instead of calling
// its nanobind function: one pass over the arguments instead of two, for functions called on every check.
// Arguments that do not fit raise what a Python function raises. At most `kMaxBoundParams` parameters and no
// `*args`.
void bind_arguments_here(nb::handle function, BoundBody body);

// Each public nanobind function that `module` defines itself, replaced by its signed form (names
// that other modules import from it afterwards are the signed ones).
void sign_functions(nb::handle module);

}  // namespace pyhost
