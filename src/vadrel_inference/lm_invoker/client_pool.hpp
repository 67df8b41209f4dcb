// One pooled HTTP client per invoker and event loop.
//
// A client's connections belong to the event loop that opened them, so an invoker keeps one client for
// each loop it is used on (successive `asyncio.run`, threads with loops of their own), in its `_clients`:
// a dict from a weak reference to the loop to (client, gate, keeper, lease, calls), the lease as a weak reference. The gate is an
// `asyncio.Semaphore` of `max_connections` that a call holds for as long as it uses a connection, so that
// the client's own pool never has a caller waiting in it (see openai_compatible.cpp for why).
//
// How a client ends with its loop. The keeper is an async generator that holds the client; started on the
// loop, it is one of the loop's async generators, which the loop's orderly shutdown
// (`loop.shutdown_asyncgens()`, as `asyncio.run` does before closing it) closes: the keeper then closes the
// client, on its own loop, before the loop goes. The lease is a timer of the loop, due in decades, that the
// loop holds: closing a loop drops its timers, and with the lease goes the client's entry, so that nothing
// of the loop outlives it. A loop closed without that shutdown (`run_until_complete`, then `close`) has not
// closed the client: its connector is closed then, without a loop, as aiohttp allows, so that asyncio
// never reports the client or its connector as left unclosed.
#pragma once

#include "pyasync/pyasync.hpp"
#include "vadrel_inference/modules.hpp"

namespace vadrel_inference::client_pool {

// `asyncio.get_running_loop()`.
nb::object running_loop();

using MakeClient = nb::object (*)(nb::handle invoker);

// The invoker's entry (client, gate, keeper, lease, calls) for `loop`, the running loop; the client made by
// `make` on the loop's first call. The client is an aiohttp ClientSession over connections::connector().
pyasync::Task client(nb::object invoker, nb::object loop, MakeClient make);

// Where in an entry the calls under way on it are: {call: its task}, the call a future of the loop that is
// done when the call has ended. `close()` ends each of them by cancelling its task, once, and notes that by
// setting the task to None.
inline constexpr int kCalls = 4;

// The call's end: it leaves the entry's calls. True when `close()` ended it; its request to cancel the task
// is then taken back, so that the task is cancelled only if someone else asked for it too.
bool call_ended(nb::handle calls, nb::handle call, nb::handle task);

// Closes the invoker's client of the running loop, when it has one: the calls still under way on it are
// ended and their connections aborted, the others closed. Calls that do not end within a few seconds (an
// event handler that ignores its cancellation) are left to end on their own, without a connection.
pyasync::VoidTask close(nb::object invoker);

}  // namespace vadrel_inference::client_pool
