// One pooled HTTP client per invoker and event loop.
//
// A client's connections belong to the event loop that opened them, so an invoker keeps one client for
// each loop it is used on (successive `asyncio.run`, threads with loops of their own). Its entry is
// [client, gate, keeper, calls, next_check]; the gate is an `asyncio.Semaphore` of `max_connections` that a
// call holds for as long as it uses a connection, so that the client's own pool never has a caller waiting
// in it (see openai_compatible.cpp for why).
//
// Deadlines. The entry's calls share one timer on the loop, due at the earliest deadline not yet checked
// (`next_check`): a call that starts adds no timer unless its deadline comes sooner. A timer of asyncio's
// for each call (`asyncio.timeout`) would cost about a twentieth of a call against a nearby service, for a
// deadline that almost never comes.
//
// Who holds an entry: its loop, through a timer due in decades whose callback holds the entry. The
// invoker's `_clients` maps a weak reference to the loop to a weak reference to that callback, so that no
// invoker keeps a loop alive: a loop that closes discards its timers, one dropped unclosed is collected
// with them, and the entry goes with it.
//
// How a client is closed: by `aclose()`, or by the loop's orderly shutdown. The keeper is an async
// generator that holds the client; started on the loop, it is one of the loop's async generators, which
// `loop.shutdown_asyncgens()` (as `asyncio.run` does before closing the loop) closes: the keeper then
// closes the client on its own loop. A loop closed without either leaves its client unclosed, which
// aiohttp reports as it reports any session left so.
#pragma once

#include "pyasync/pyasync.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference::client_pool {

// `asyncio.get_running_loop()`, `asyncio.current_task()`.
nb::object running_loop();
nb::object current_task();

using MakeClient = nb::object (*)(nb::handle invoker);

// The invoker's entry [client, gate, keeper, calls, next_check] for `loop`, the running loop; the client
// made by `make` on the loop's first call. The client is an aiohttp ClientSession over connections::connector().
pyasync::Task client(nb::object invoker, nb::object loop, MakeClient make);

// An entry's calls under way: {call, a future done at its end: (its task, its deadline on the loop's clock)}.
// The entry owns them: `close()` cancels each task once and sets its value to None; the entry's deadline
// timer, one for all its calls, cancels each that outlives its deadline and sets its value to False.
// `call_ended` takes the call out, and that cancellation back.
inline constexpr int kCalls = 3;
void call_started(nb::handle entry, nb::handle loop, nb::handle call, nb::handle task, double deadline);
enum class Ended { normally, closed, expired };
Ended call_ended(nb::handle calls, nb::handle call, nb::handle task);

// Closes the invoker's client of the running loop, when it has one, ending the calls under way on it (up
// to 2 s for them to end; one whose event handler ignores that goes on without its connection).
pyasync::VoidTask close(nb::object invoker);

}  // namespace vadrel_inference::client_pool
