// The bridge's public types, declared for the machinery that names them before they are complete.
#pragma once

#include <nanobind/nanobind.h>

namespace pyasync {
namespace nb = nanobind;

class Task;
class VoidTask;
class AsyncGen;
class AsyncIter;
class Caught;
template <class T> class Held;

namespace detail {
struct PromiseBase;
template <class T> struct Gc;  // how the collector sees a held value (gc.hpp)
}  // namespace detail

}  // namespace pyasync
