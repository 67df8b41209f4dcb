// pyasync: C++20 coroutines that Python sees as coroutines and async generators.
//
//   pyasync::Task fetch(nb::object client, nb::object url) {          // Python: a coroutine
//       nb::object resp = co_await client.attr("get")(url);           // any Python awaitable
//       co_return resp.attr("text");                                  // co_return value -> result
//   }
//   pyasync::VoidTask log(nb::object sink) { co_await sink.attr("flush")(); co_return; }  // -> None
//
//   pyasync::AsyncGen upper(nb::object source) {                      // Python: an async generator
//       pyasync::AsyncIter it(source);                                // any async iterable
//       while (std::optional<nb::object> x = co_await it.next())     // nullopt at the end
//           co_yield x->attr("upper")();
//   }
//
//   m.def("fetch", &fetch);   // returns a coroutine object (casts.hpp converts)
//
// Python objects. A `Task`/`VoidTask` converted to Python (`std::move(t).to_python()` or by
// returning it from a bound function) is a coroutine: `send`, `throw`, `close`, `__await__`,
// `__next__`, the `am_send` slot, `cr_running`, `cr_await`, settable `__name__`/`__qualname__`,
// weak references, and a RuntimeWarning when dropped never awaited. The body starts at the first
// send. An `AsyncGen` becomes an async generator: `__aiter__`, `__anext__`, `asend`, `athrow`,
// `aclose`, `ag_running`, Python's firstiter/finalizer hooks (so `loop.shutdown_asyncgens()`
// closes abandoned ones), closing when collected unfinished, PEP 479.
//
// Names default to the C++ function's unqualified name; `std::move(t).named("x")` overrides.
// Once a coroutine or generator finishes its frame is freed at once, parameters included.
// Misuse is refused as Python refuses it, at once and with Python's own messages: awaiting what is not
// awaitable, a second `await` of a coroutine that another awaiter is suspended in (a Python
// coroutine's too, when a bridge frame awaits it), bad throw() arguments (they fail in the awaited
// iterator and come back in at the await) and athrow()'s (when the step is awaited).
//
// Depth. Each step the interpreter takes into a bridge object (am_send, `__next__`, `send`,
// `throw`, `close`, a finalizer closing it) counts against Python's recursion limit as the
// interpreter's own C calls do, and is refused with RecursionError near the end of the C stack, so a
// chain of any depth through Python code ends in RecursionError. Deallocation goes through CPython's
// trashcan: a chain of any depth is freed in bounded stack.
//
// Awaiting. Inside these coroutines `co_await obj` (any nb::handle/object) behaves as
// `yield from obj.__await__()`: what the inner iterator yields goes to the event loop unchanged,
// what the loop sends or throws goes into it, its return value is the result of the co_await and
// its exception is thrown in C++ as nb::python_error carrying the very exception object
// (CancelledError included; catch it, run RAII, rethrow or not). `co_await other_task()` of a C++
// Task, `co_await it.next()` of an AsyncIter over a C++ generator and `co_await gen.next()` run
// the inner C++ frame directly, in the awaiting chain: no Python object per step, no C++ throw at
// the end of the stream; the inner frame's own suspensions pass straight through to the loop.
// Control passes between such frames through the driver's loop, so any number of items passes in
// constant stack; each frame run directly counts towards Python's recursion limit as a Python
// frame does, and past it the co_await raises RecursionError.
// `co_await it.aclose()` throws GeneratorExit into the generator at its co_yield (or awaits
// `aclose()` of a Python iterator).
//
// Exceptions crossing the bridge are Python exceptions: a C++ exception that is not a
// nb::python_error is translated as nanobind translates exceptions of bound functions (so
// std::runtime_error becomes RuntimeError); a nb::python_error re-raises its own object.
//
// Reading is `async for`'s: `AsyncIter(iterable)` and `pyasync::aiter(iterable)` call `__aiter__`
// and each step `__anext__`, and what is not async iterable fails with the TypeError Python's `async for` raises.
// Reading an object that already is an async iterator (no `__aiter__` call):
// `pyasync::AsyncIter::from_iterator(it)`, or one step at a time `co_await pyasync::anext(it)` (the
// next item, nullopt at the end; `pyasync::anext_method(it)` reads it as `await it.__anext__()` does, the
// method looked up on the object) and `co_await pyasync::aclose(it)` (`await it.aclose()` when it has
// one). All take the direct path when `pyasync::is_async_gen(it)`: `it` is one of this extension's
// bridge generators (each extension has its own types).
//
// Clean-up that awaits after an error. `co_await` is not allowed inside a catch handler, so keep the
// error, leave the handler, await, then raise it again:
//
//   pyasync::Caught failure;
//   try { ... } catch (...) { failure.capture(); }     // any exception, as a Python error
//   co_await items.aclose();
//   failure.rethrow();                                  // nothing when the block ended normally
//
// Garbage collection. The collector sees what the bridge holds (the awaited inner iterator, values
// in transit, the finalizer hook, names), a Python-visible frame's parameters of types nb::object
// (or derived), AsyncIter, AsyncGen and Caught (the first 8; for a member-function coroutine of a
// class derived from nb::object, make `*this` not one of them) and the locals the frame declares
// through `hold`:
//
//   auto stream = co_await pyasync::hold(self.attr("run")());            // Held<nb::object>
//   auto items = co_await pyasync::hold(pyasync::AsyncIter(*stream));    // Held<AsyncIter>
//   while (std::optional<nb::object> x = co_await items->next()) ...
//
// `co_await pyasync::hold(value)` never suspends: it moves `value` into the `Held<T>` local it
// initialises, which is listed with the frame for as long as it lives; the frame's Python object
// traverses it, and clears it when the collector breaks a cycle (the frame then never runs again).
// T is nb::object or a type derived from it, AsyncIter, AsyncGen, Caught, or std::optional of one of
// them. A C++-only generator inside a held AsyncIter/AsyncGen, and a C++ Task being awaited directly,
// are seen through their owner: their parameters, held locals and values in transit. `Held<T>` is
// neither copied nor moved; `*held`, `held->` and `held = value` reach the value. Everything else in
// a frame (plain locals, what a C++-only frame that is not held keeps) is invisible: a reference
// cycle through it is not collected. So is a temporary that lives on in a co_await expression
// while the frame waits, such as the `x.attr("a")` of `co_await x.attr("a").attr("b")()`; the
// awaited object itself is not one: a temporary or moved awaitable hands its reference to the
// await (`co_await std::move(local)`), which drops it once it has the iterator, as Python does.
//
// Rules of use:
//  - parameters of these coroutines must own what they refer to (nb::object, values): never
//    nb::handle or C++ references, which dangle once the caller returns;
//  - `co_await` is not allowed inside a catch handler: keep the error (`Caught` above), leave
//    the handler, then await;
//  - everything runs on the event loop's thread with the GIL held;
//  - an AsyncIter/AsyncGen serves one reader at a time; a second concurrent next() raises
//    RuntimeError as Python's async generators do.
//
// Limits: a generator that is dropped while suspended inside an await on behalf of a direct reader
// that is itself being destroyed is freed without running its body again (its destructors still
// run). Dropping an unfinished C++-only AsyncGen closes it synchronously: cleanup that awaits is
// reported as "async generator ignored GeneratorExit"; close it with `co_await gen.aclose()` first
// when cleanup must await.
#pragma once

#include "pyasync/async_gen.hpp"   // AsyncGen, NextAwaiter, CloseAwaiter, is_async_gen
#include "pyasync/async_iter.hpp"  // AsyncIter, aiter, anext, aclose
#include "pyasync/casts.hpp"       // nanobind type casters of Task, VoidTask, AsyncGen
#include "pyasync/caught.hpp"      // Caught, current_error
#include "pyasync/hold.hpp"        // hold, Held
#include "pyasync/task.hpp"        // Task, VoidTask
