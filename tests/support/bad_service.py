"""Local services on 127.0.0.1 that misbehave below the chat-completions format, each in a thread of its own:
for the invoker's boundary (what a call may end in) and its sockets.

- `BadService(*replies, otherwise=None)`: reads each request whole, records it, and answers it with the next of
  `replies` (raw bytes, not checked: any header bytes), then with `otherwise`; with none, never answers (a hung
  service).
- `Stuck(early=None)`: accepts connections and never reads from them (a stuck process): a request larger than
  the socket buffers never leaves the client. Over https it never answers the TLS handshake either. Given
  `early`, it reads a request's head only and answers it with `early` (a provider turning a large prompt away).
- `BadService(..., ssl=context)`: the same over TLS, with the context's certificate.
- `RefusingTLS(context)`: a TLS listener whose handshake fails on its side; it keeps the connection until the
  client has read the alert and left.
- `RecordingProxy()`: an HTTP proxy that answers every request itself with a chat answer and records the
  request lines it was sent (for plain http, the absolute URL of the target).

Each counts the connections it holds open (`open`) and is stopped by `stop()`, which closes them. The fixture
`services` (import it into the test module) stops them after a test.
"""

from __future__ import annotations

import asyncio
import json
import socket
import threading

import pytest

PROXY_VARIABLES = ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY", "http_proxy", "https_proxy", "all_proxy",
                   "no_proxy")


@pytest.fixture
def services(monkeypatch):
    """`services(service)` starts nothing itself: it hands the service back and stops it after the test. Requests
    go straight to 127.0.0.1 unless the test names a proxy: those of the environment are cleared first."""
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    started = []

    def keep(service):
        started.append(service)
        return service

    yield keep
    for service in started:
        service.stop()


async def cancel_and_close(call, service: _Threaded, invoker, first: str) -> list:
    """Runs the coroutine `call`; once `service` has its request, cancels it and closes `invoker`, `first`
    ("cancel" or "aclose") first. The call's outcome, in a list."""
    call = asyncio.create_task(call)
    while not service.requests:
        await asyncio.sleep(0.005)
    if first == "cancel":
        call.cancel()
        await invoker.aclose()
    else:
        closing = asyncio.create_task(invoker.aclose())
        await asyncio.sleep(0)  # the closing has asked the call to end
        call.cancel()
        await closing
    return await asyncio.gather(call, return_exceptions=True)


def chat_answer(text: str) -> bytes:
    body = json.dumps({"choices": [{"index": 0, "message": {"role": "assistant", "content": text},
                                    "finish_reason": "stop"}]}).encode()
    return (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(body)) + body


class _Threaded:
    """An asyncio server on a loop of its own, serving each connection with `_serve`."""

    def __init__(self, ssl=None) -> None:
        self.requests: list[bytes] = []  # each request's head, as sent
        self._writers: set[asyncio.StreamWriter] = set()
        self._tls = ssl is not None
        self._loop = asyncio.new_event_loop()
        ready = threading.Event()

        def run() -> None:
            asyncio.set_event_loop(self._loop)
            self._server = self._loop.run_until_complete(
                asyncio.start_server(self._connection, "127.0.0.1", 0, limit=1 << 20, ssl=ssl))
            ready.set()
            self._loop.run_forever()
            self._loop.close()

        self._thread = threading.Thread(target=run, daemon=True)
        self._thread.start()
        ready.wait()

    @property
    def port(self) -> int:
        return self._server.sockets[0].getsockname()[1]

    @property
    def base_url(self) -> str:
        return f"{'https' if self._server.sockets and self._tls else 'http'}://127.0.0.1:{self.port}/v1"

    @property
    def open(self) -> int:
        async def count() -> int:
            return sum(not w.transport.is_closing() for w in self._writers)

        return asyncio.run_coroutine_threadsafe(count(), self._loop).result()

    def stop(self) -> None:
        async def shut() -> None:
            # Every connection goes before the loop stops, those whose task has not started yet too: one left
            # to the collector would find its server closed (asyncio 3.13.0 then raises in its __del__).
            self._server.close()
            self._server.abort_clients()
            tasks = asyncio.all_tasks() - {asyncio.current_task()}
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            await asyncio.sleep(0)  # the aborted connections' last callbacks

        asyncio.run_coroutine_threadsafe(shut(), self._loop).result()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()

    async def _connection(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self._writers.add(writer)
        try:
            await self._serve(reader, writer)
        except (ConnectionError, asyncio.IncompleteReadError, asyncio.CancelledError):
            pass
        finally:
            self._writers.discard(writer)
            writer.transport.abort()

    async def _read_request(self, reader: asyncio.StreamReader) -> bytes:
        head = await reader.readuntil(b"\r\n\r\n")
        self.requests.append(head)
        length = 0
        for line in head.split(b"\r\n"):
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        await reader.readexactly(length)
        return head

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        raise NotImplementedError


class BadService(_Threaded):
    def __init__(self, *replies: bytes, otherwise: bytes | None = None, ssl=None) -> None:
        self._replies = list(replies)
        self._otherwise = otherwise
        super().__init__(ssl)

    def reply(self, raw: bytes) -> None:
        """Queues the answer to one more request."""
        self._replies.append(raw)

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        while True:
            await self._read_request(reader)
            reply = self._replies.pop(0) if self._replies else self._otherwise
            if reply is None:
                await asyncio.Event().wait()  # until the client leaves or the service stops
            writer.write(reply)
            await writer.drain()


class Stuck(_Threaded):
    """Accepts, never reads. The receive buffer is kept small, so that a modest body fills it."""

    def __init__(self, early: bytes | None = None) -> None:
        self._early = early
        super().__init__()
        for sock in self._server.sockets:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        if self._early is not None:
            self.requests.append(await reader.readuntil(b"\r\n\r\n"))
            writer.write(self._early)
            await writer.drain()
        await asyncio.Event().wait()


class RefusingTLS:
    def __init__(self, context) -> None:
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.base_url = f"https://127.0.0.1:{self._listener.getsockname()[1]}/v1"
        threading.Thread(target=self._serve, args=(context,), daemon=True).start()

    def _serve(self, context) -> None:
        while True:
            try:
                tls = context.wrap_socket(self._listener.accept()[0], server_side=True, do_handshake_on_connect=False)
            except OSError:
                return  # stopped
            try:
                tls.do_handshake()
                tls.recv(1)
            except OSError:
                with socket.socket(fileno=tls.detach()) as raw:
                    while raw.recv(65536):
                        pass

    def stop(self) -> None:
        self._listener.close()


class RecordingProxy(_Threaded):
    def __init__(self, answer: str = "ok") -> None:
        self._answer = answer
        super().__init__()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def targets(self) -> list[str]:
        return [head.split(b" ")[1].decode() for head in self.requests]

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        while True:
            await self._read_request(reader)
            writer.write(chat_answer(self._answer))
            await writer.drain()
