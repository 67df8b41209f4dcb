// The connections a call uses, and their closing at once when it fails.
//
// A connection that a failed or cancelled call leaves may still hold what the service has not read:
// aiohttp closes it by flushing that first, so against a service that stopped reading the socket would
// stay open for good while the connection limit has already given its slot to the next call. So the
// invoker's connector (aiohttp's TCPConnector, whose `connect` also tells the attempt under way which
// connection it got) keeps the connections of the attempts under way, by the task that runs each, and an
// attempt that ends without having handed its connection back to the pool aborts it: its socket is closed
// at once, before the next call gets the slot.
#pragma once

#include "vadrel_inference/modules.hpp"

namespace vadrel_inference::connections {

// The invoker's connector: at most `limit` connections, TLS through `ssl`, each socket with a receive buffer
// of 32 KiB (see connections.cpp).
nb::object connector(nb::handle limit, nb::handle ssl);

// One attempt's hold on the connection it is given, from before its request until it ends. Unless the
// attempt says that it handed the connection back (its answer read to its end, released to the pool) and
// the request had been sent whole, the end of the attempt aborts the connection, however it ends: failing,
// cancelled, or its frame closed.
class Attempt {
public:
    Attempt(nb::handle connector, nb::handle task);
    Attempt(const Attempt &) = delete;
    Attempt &operator=(const Attempt &) = delete;
    ~Attempt();

    void handed_back();

private:
    nb::object attempts_;  // the connector's attempts under way: {task: the transports each was given}
    nb::object task_;      // the task that runs this attempt
    nb::object taken_;     // the transports this attempt was given (a list)
};

}  // namespace vadrel_inference::connections
