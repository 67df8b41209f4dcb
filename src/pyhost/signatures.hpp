// Signatures that tools can read, and calls bound as Python binds them. A nanobind function describes its
// parameters only inside its docstring, so `inspect.signature`, `help()` and editors see nothing. A signed
// function is a thin callable around one: it binds a call's arguments against the signature the package's
// stubs declare (compiled in at build time), binds as a method like a Python function does, and carries
// `__signature__`, `__defaults__` and `__kwdefaults__` from that same declaration.
#pragma once

#include <cstddef>

#include <nanobind/nanobind.h>

namespace pyhost {
namespace nb = nanobind;

// A parameter's default as the stubs spell it (a literal).
struct StubDefault {
    enum Kind : unsigned char { required, none, boolean, integer, real, text } kind = required;
    long long integer_value = 0;  // also a boolean's
    double real_value = 0;
    const char *text_value = nullptr;
};

enum class StubKind : unsigned char { positional, keyword_only, var_keyword };

struct StubParameter {
    const char *name;
    StubKind kind;
    const char *annotation;  // null when the stubs give none
    StubDefault default_value;
};

enum class StubFunctionKind : unsigned char { function, coroutine, async_generator };

// One function the stubs declare: "module.qualname", what calling it makes, its parameters in order, its
// result annotation (null when none).
struct StubFunction {
    const char *key;
    StubFunctionKind kind;
    const StubParameter *parameters;
    std::size_t count;
    const char *result;
};

// A name a stub's top-level imports bind: `from source import attribute as name`, or `import source as name`
// (attribute null).
struct StubImport {
    const char *module;  // the stub's module
    const char *name;
    const char *source;
    const char *attribute;
};

// An extension's table of stub signatures, generated at build time (scripts/stub_signatures.py) and
// registered while the extension loads (a static object of the generated source).
class StubSignatures {
public:
    template <std::size_t N>
    explicit StubSignatures(const StubFunction (&rows)[N]) {
        add(rows, N, nullptr, 0);
    }
    template <std::size_t N, std::size_t M>
    StubSignatures(const StubFunction (&rows)[N], const StubImport (&imports)[M]) {
        add(rows, N, imports, M);
    }

private:
    static void add(const StubFunction *rows, std::size_t count, const StubImport *imports, std::size_t bound);
};

// A function's own body, for arguments bound as a Python function binds them: one value per parameter of its
// signature, in order, defaults filled in; `kwargs` holds the keywords that name no parameter when the
// signature takes `**kwargs` and there are any (unset otherwise). The values live for the call.
using BoundBody = nb::object (*)(const nb::handle *params, nb::handle kwargs);

// `f` as a signed function named `qualname` in `module` (texts) when it is a nanobind function; anything else
// unchanged. The stubs must declare it.
nb::object signed_function(nb::handle f, nb::handle module, nb::handle qualname);

// Has the signed function `function` call `body` with the arguments it binds, instead of its nanobind function.
void bind_arguments_here(nb::handle function, BoundBody body);

// Each public nanobind function that `module` defines itself, replaced by its signed form (names
// that other modules import from it afterwards are the signed ones).
void sign_functions(nb::handle module);

}  // namespace pyhost
