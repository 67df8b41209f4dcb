// pyasync::one_shot: a Python coroutine whose body is one plain C++ call, for operations that mostly finish
// without suspending. It has no C++ coroutine frame and no driver: calling it makes one small object, and its
// first step runs the call.
//
//   pyasync::Finish check(PyObject *const *args) {                  // args: what one_shot was given
//       if (can_answer_now(args[0])) return pyasync::Finish::with(answer(args[0], args[1]));
//       return pyasync::Finish::awaiting(slow_path(args[0], args[1]));   // then: return await slow_path(...)
//   }
//   return pyasync::one_shot(&check, {self, content}, "check", "Engine.check");
//
// The object behaves as the bridge's coroutines do (see pyasync.hpp): the body runs at the first send, not at
// the call; `send`, `throw`, `close`, `__await__`, `__next__`, the `am_send` slot, `cr_running`, `cr_await`,
// settable names, weak references, and a RuntimeWarning when it is dropped never awaited. Its arguments are
// released once the body has run. An error the body raises (a C++ exception is translated as the bridge
// translates them) ends the coroutine with it, StopIteration becoming RuntimeError. A body that hands back an
// awaitable finishes as `return await awaitable`: what the awaited iterator yields goes to the event loop, what
// the loop sends or throws goes into it.
#pragma once

#include <initializer_list>

#include "pyasync/pyasync.hpp"

namespace pyasync {

// What a one-shot body ends with: its result, or an awaitable whose result is to be the coroutine's.
struct Finish {
    nb::object value;
    bool await_it = false;

    static Finish with(nb::object result) { return {std::move(result), false}; }
    static Finish awaiting(nb::object awaitable) { return {std::move(awaitable), true}; }
};

// The body: the arguments given to `one_shot`, in order (borrowed for the call).
using OneShotBody = Finish (*)(PyObject *const *args);

// At most this many arguments.
inline constexpr int kOneShotArgs = 4;

// The coroutine object. `name` and `qualname` are static storage (literals).
nb::object one_shot(OneShotBody body, std::initializer_list<nb::handle> args, const char *name,
                    const char *qualname);

}  // namespace pyasync
