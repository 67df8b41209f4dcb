// How a C++ exception that leaves the library's code reaches Python (see raising.hpp).
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "pyhost/raising.hpp"

namespace pyhost {
namespace {

// Exceptions that carry the thrower's own words (ours: a setting the library refuses, say) go on to
// nanobind's translation, which keeps them; those whose only words are the implementation's ("std::bad_cast")
// become errors in the library's words.
void translate(const std::exception_ptr &error, void *) {
    try {
        std::rethrow_exception(error);
    } catch (const nb::builtin_exception &) {
        throw;
    } catch (const std::logic_error &) {
        throw;
    } catch (const std::runtime_error &) {
        throw;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::bad_cast &) {
        PyErr_SetString(PyExc_TypeError, "a value has a type or a form that the library cannot take");
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "the library failed in a way it does not name");
    }
}

}  // namespace

void install_error_translation() {
    static bool installed = false;
    if (!installed) {
        nb::register_exception_translator(&translate);
        installed = true;
    }
}

}  // namespace pyhost
