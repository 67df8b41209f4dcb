"""A small OpenAI-compatible chat-completions server for tests, bound to 127.0.0.1 on a free port.

It runs an asyncio event loop of its own in a thread, so that hundreds of connections at once cost it
little and it is never what a test of the client measures.

Replies are scripted one request at a time (`reply_*`); with nothing scripted the server answers
"ok", or what the function given to `answer_with` makes of the request body (streamed when the request
asks for a stream), after `delay` seconds. `answer_together(n)` holds the next requests until `n` of them
are waiting, then answers them all: only a client that has `n` connections open at once gets answers.
Every request is recorded with its path, headers and JSON body. Connections are kept alive (HTTP/1.1)
and counted: `connections` is how many were accepted, `open` how many are open now (a connection the
client has closed no longer counts, even while the server is still busy with its request), `most_open`
the most open at once. `listen_queue` is the backlog of not yet accepted connections.

`misbehave(seed)` makes the server, until `behave()`, answer each request in one of several bad ways at
random: slowly, sending its answer a few bytes at a time, or dropping the connection before the answer,
inside its headers or inside its body.
"""

from __future__ import annotations

import asyncio
import json
import random
import threading
from dataclasses import dataclass, field
from typing import Any, Callable


@dataclass
class RecordedRequest:
    path: str
    headers: dict[str, str]
    body: Any


@dataclass
class _Reply:
    kind: str  # "json", "stream", "raw", "drop", "hang", "drip"
    status: int = 200
    headers: dict[str, str] = field(default_factory=dict)
    interval: float = 0.0
    text: str = ""
    pieces: list[str] = field(default_factory=list)
    usage: tuple[int, int] | None = None
    body: bytes = b""
    content_type: str = "application/json"


_REASONS = {200: "OK", 404: "Not Found"}


def _usage(usage: tuple[int, int] | None) -> dict | None:
    if usage is None:
        return None
    return {"prompt_tokens": usage[0], "completion_tokens": usage[1], "total_tokens": sum(usage)}


def _response(status: int, body: bytes, content_type: str, headers: dict[str, str] | None = None,
              length: int | None = None) -> bytes:
    lines = [f"HTTP/1.1 {status} {_REASONS.get(status, 'Status')}", f"Content-Type: {content_type}",
             f"Content-Length: {len(body) if length is None else length}"]
    lines += [f"{name}: {value}" for name, value in (headers or {}).items()]
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


class ChatServer:
    def __init__(self, listen_queue: int = 1024) -> None:
        self.requests: list[RecordedRequest] = []
        self.delay = 0.0
        self._replies: list[_Reply] = []
        self._answer: Callable[[Any], str] | None = None
        self._lock = threading.Lock()
        self._listen_queue = listen_queue
        self._random: random.Random | None = None
        self._together = 0
        self._waiting: list[asyncio.Future] = []
        self._accepted = 0
        self._most_open = 0
        self._live: dict[asyncio.Task, tuple[asyncio.StreamReader, asyncio.StreamWriter]] = {}
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        asyncio.set_event_loop(self._loop)
        self._release = asyncio.Event()  # hung and dripping replies end when it is set, at stop
        self._server = self._loop.run_until_complete(
            asyncio.start_server(self._connection, "127.0.0.1", 0, backlog=self._listen_queue))
        self._ready.set()
        self._loop.run_forever()
        self._loop.close()

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self._server.sockets[0].getsockname()[1]}/v1"

    @property
    def connections(self) -> int:
        return self._accepted

    @property
    def open(self) -> int:
        return self._on_loop(self._open)

    @property
    def most_open(self) -> int:
        return self._most_open

    def start(self) -> ChatServer:
        self._thread.start()
        self._ready.wait()
        return self

    def stop(self) -> None:
        if not self._thread.is_alive():
            if self._thread.ident is None:
                self._loop.close()  # never started
            return
        asyncio.run_coroutine_threadsafe(self._shut(), self._loop).result()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()

    def answer_together(self, n: int) -> None:
        self._together = n

    def misbehave(self, seed: int) -> None:
        self._random = random.Random(seed)

    def behave(self) -> None:
        self._random = None

    # Scripting: each call queues the reply to one request.
    def reply_text(self, text: str, usage: tuple[int, int] | None = None) -> None:
        self._push(_Reply("json", text=text, usage=usage))

    def reply_stream(self, pieces: list[str], usage: tuple[int, int] | None = None) -> None:
        self._push(_Reply("stream", pieces=list(pieces), usage=usage))

    def reply_error(self, status: int, message: str = "bad things", headers: dict[str, str] | None = None) -> None:
        body = json.dumps({"error": {"message": message, "code": status}}).encode()
        self._push(_Reply("raw", status=status, body=body, headers=dict(headers or {})))

    def reply_raw(self, body: bytes, content_type: str = "application/json", status: int = 200) -> None:
        self._push(_Reply("raw", status=status, body=body, content_type=content_type))

    def reply_stream_raw(self, body: bytes) -> None:
        self._push(_Reply("raw", body=body, content_type="text/event-stream"))

    def reply_drop(self) -> None:
        """The connection is closed without an answer."""
        self._push(_Reply("drop"))

    def reply_hang(self) -> None:
        self._push(_Reply("hang"))

    def reply_drip(self, interval: float, stream: bool = False) -> None:
        """A long answer sent one byte every `interval` seconds, until the client leaves or the server stops."""
        self._push(_Reply("drip", interval=interval, content_type="text/event-stream" if stream else "application/json"))

    def answer_with(self, answer: Callable[[Any], str]) -> None:
        """Answer every request that has no scripted reply with `answer(body)`, as a model would."""
        self._answer = answer

    def _push(self, reply: _Reply) -> None:
        with self._lock:
            self._replies.append(reply)

    def _next(self, body: Any) -> _Reply:
        with self._lock:
            if self._replies:
                return self._replies.pop(0)
            answer = self._answer
        text = "ok" if answer is None else answer(body)
        if isinstance(body, dict) and body.get("stream"):
            return _Reply("stream", pieces=[text])
        return _Reply("json", text=text)

    # The serving side, all on the server's loop.
    def _on_loop(self, function: Callable[[], Any]) -> Any:
        async def run() -> Any:
            return function()

        return asyncio.run_coroutine_threadsafe(run(), self._loop).result()

    def _open(self) -> int:
        return sum(not reader.at_eof() and not writer.transport.is_closing() for reader, writer in self._live.values())

    async def _shut(self) -> None:
        self._release.set()
        self._server.close()
        tasks = list(self._live)
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    async def _connection(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self._accepted += 1
        task = asyncio.current_task()
        self._live[task] = (reader, writer)
        self._most_open = max(self._most_open, self._open())
        try:
            while await self._request(reader, writer):
                pass
        except (ConnectionError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            pass  # a client that leaves mid-answer (a time-out, a cancelled call) is no fault of the server
        except asyncio.CancelledError:
            pass  # the server stops
        finally:
            del self._live[task]
            writer.transport.abort()

    async def _request(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> bool:
        """Serves one request; whether the connection stays open for the next."""
        try:
            head = await reader.readuntil(b"\r\n\r\n")
        except asyncio.IncompleteReadError:
            return False
        request_line, *header_lines = head.decode("latin-1").split("\r\n")[:-2]
        path = request_line.split(" ")[1]
        headers = dict(line.split(": ", 1) for line in header_lines)
        length = int(next((v for k, v in headers.items() if k.lower() == "content-length"), "0"))
        raw = await reader.readexactly(length)
        try:
            body: Any = json.loads(raw)
        except ValueError:
            body = raw
        with self._lock:
            self.requests.append(RecordedRequest(path, headers, body))
        if not path.endswith("/chat/completions"):
            writer.write(_response(404, b'{"error": {"message": "not found"}}', "application/json"))
            return True
        reply = self._next(body)
        if self._random is not None:
            return await self._misbehave(writer, self._random, self._payload(reply, body))
        if self._together:
            await self._gather()
        elif self.delay:
            await asyncio.sleep(self.delay)
        if reply.kind == "drop":
            return False
        if reply.kind == "hang":
            await self._release.wait()
            return False
        if reply.kind == "drip":
            await self._drip(writer, reply)
            return False
        writer.write(self._payload(reply, body))
        await writer.drain()
        return True

    async def _gather(self) -> None:
        waiter = self._loop.create_future()
        self._waiting.append(waiter)
        if len(self._waiting) >= self._together:
            for each in self._waiting:
                each.set_result(None)
            self._waiting = []
            self._together = 0
        await waiter

    async def _misbehave(self, writer: asyncio.StreamWriter, rng: random.Random, payload: bytes) -> bool:
        """Sends the answer in one of several bad ways; whether the connection stays open."""
        way = rng.choice(["slow", "drop", "drop_in_head", "drop_in_body", "trickle", "fine"])
        await asyncio.sleep(rng.uniform(0, 0.05) if way == "fine" else rng.uniform(0, 0.2))
        head = payload.index(b"\r\n\r\n") + 4
        if way == "drop":
            return False
        if way in ("drop_in_head", "drop_in_body"):
            writer.write(payload[:rng.randrange(1, head)] if way == "drop_in_head" else payload[:rng.randrange(head, len(payload))])
            await writer.drain()
            await asyncio.sleep(rng.uniform(0, 0.05))
            return False
        if way == "trickle":
            for start in range(0, len(payload), 16):
                writer.write(payload[start:start + 16])
                await writer.drain()
                await asyncio.sleep(0.005)
            return True
        writer.write(payload)
        await writer.drain()
        return True

    @staticmethod
    def _choice(text: str, body: Any, usage: tuple[int, int] | None = None) -> dict:
        answer = {
            "id": "chatcmpl-1",
            "object": "chat.completion",
            "model": body.get("model") if isinstance(body, dict) else None,
            "choices": [{"index": 0, "message": {"role": "assistant", "content": text}, "finish_reason": "stop"}],
        }
        if usage is not None:
            answer["usage"] = _usage(usage)
        return answer

    def _payload(self, reply: _Reply, body: Any) -> bytes:
        if reply.kind == "raw":
            return _response(reply.status, reply.body, reply.content_type, reply.headers)
        if reply.kind == "json":
            return _response(200, json.dumps(self._choice(reply.text, body, reply.usage)).encode(), "application/json")
        events = [
            {"id": "chatcmpl-1", "object": "chat.completion.chunk",
             "choices": [{"index": 0, "delta": {"content": piece}, "finish_reason": None}]}
            for piece in reply.pieces
        ]
        events.append({"id": "chatcmpl-1", "object": "chat.completion.chunk",
                       "choices": [{"index": 0, "delta": {}, "finish_reason": "stop"}]})
        if reply.usage is not None:
            events.append({"id": "chatcmpl-1", "object": "chat.completion.chunk", "choices": [],
                           "usage": _usage(reply.usage)})
        data = "".join(f"data: {json.dumps(e)}\n\n" for e in events) + "data: [DONE]\n\n"
        return _response(200, data.encode(), "text/event-stream")

    async def _drip(self, writer: asyncio.StreamWriter, reply: _Reply) -> None:
        body = b"data: " + b" " * 100_000 if reply.content_type == "text/event-stream" else b" " * 100_000
        writer.write(_response(200, b"", reply.content_type, length=len(body)))
        for byte in body:
            writer.write(bytes([byte]))
            await writer.drain()
            try:
                await asyncio.wait_for(self._release.wait(), reply.interval)
                return
            except TimeoutError:
                pass
