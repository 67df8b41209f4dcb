"""A small OpenAI-compatible chat-completions server for tests, bound to 127.0.0.1 on a free port.

Replies are scripted one request at a time (`reply_*`); with nothing scripted the server answers
"ok", or what the function given to `answer_with` makes of the request body. Every request is
recorded with its path, headers and JSON body. Connections are kept alive (HTTP/1.1) and counted:
`connections` is how many were accepted, `most_open` the most open at once. `listen_queue` is the
backlog of not yet accepted connections.
"""

from __future__ import annotations

import json
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable


@dataclass
class RecordedRequest:
    path: str
    headers: dict[str, str]
    body: Any


@dataclass
class _Reply:
    kind: str  # "json", "stream", "raw", "hang", "drip"
    status: int = 200
    headers: dict[str, str] = field(default_factory=dict)
    interval: float = 0.0
    text: str = ""
    pieces: list[str] = field(default_factory=list)
    usage: tuple[int, int] | None = None
    body: bytes = b""
    content_type: str = "application/json"


def _usage(usage: tuple[int, int] | None) -> dict | None:
    if usage is None:
        return None
    return {"prompt_tokens": usage[0], "completion_tokens": usage[1], "total_tokens": sum(usage)}


class _CountingServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, handler: type[BaseHTTPRequestHandler], listen_queue: int) -> None:
        self.request_queue_size = listen_queue
        self.connections = 0
        self.open = 0
        self.most_open = 0
        self._count_lock = threading.Lock()
        super().__init__(("127.0.0.1", 0), handler)

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._count_lock:
            self.connections += 1
            self.open += 1
            self.most_open = max(self.most_open, self.open)
        super().process_request(request, client_address)

    def handle_error(self, request: Any, client_address: Any) -> None:
        pass  # a client that leaves mid-answer (a time-out, a cancelled call) is no fault of the server

    def shutdown_request(self, request: Any) -> None:
        with self._count_lock:
            self.open -= 1
        super().shutdown_request(request)


class ChatServer:
    def __init__(self, listen_queue: int = 5) -> None:
        self.requests: list[RecordedRequest] = []
        self._replies: list[_Reply] = []
        self._answer: Callable[[Any], str] | None = None
        self._lock = threading.Lock()
        # Hung requests wait on this until the server stops, so a client time-out always fires first.
        self._release = threading.Event()
        self._httpd = _CountingServer(self._handler_class(), listen_queue)
        # A short poll keeps `stop` quick: shutdown waits for the serving loop's next poll.
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True)

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self._httpd.server_address[1]}/v1"

    @property
    def connections(self) -> int:
        return self._httpd.connections

    @property
    def most_open(self) -> int:
        return self._httpd.most_open

    def start(self) -> ChatServer:
        self._thread.start()
        return self

    def stop(self) -> None:
        if not self._thread.is_alive():
            return
        self._release.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()

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
        return _Reply("json", text="ok" if answer is None else answer(body))

    def _handler_class(self) -> type[BaseHTTPRequestHandler]:
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, format: str, *args: Any) -> None:  # keep test output quiet
                pass

            def do_POST(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                raw = self.rfile.read(length)
                try:
                    body = json.loads(raw)
                except ValueError:
                    body = raw
                with server._lock:
                    server.requests.append(RecordedRequest(self.path, dict(self.headers.items()), body))
                if not self.path.endswith("/chat/completions"):
                    self._send(404, b'{"error": {"message": "not found"}}', "application/json")
                    return
                reply = server._next(body)
                if reply.kind == "hang":
                    self.close_connection = True
                    server._release.wait()
                    return
                if reply.kind == "drip":
                    self._drip(reply)
                elif reply.kind == "raw":
                    self._send(reply.status, reply.body, reply.content_type, reply.headers)
                elif reply.kind == "json":
                    answer = {
                        "id": "chatcmpl-1",
                        "object": "chat.completion",
                        "model": body.get("model") if isinstance(body, dict) else None,
                        "choices": [
                            {"index": 0, "message": {"role": "assistant", "content": reply.text},
                             "finish_reason": "stop"}
                        ],
                    }
                    if reply.usage is not None:
                        answer["usage"] = _usage(reply.usage)
                    self._send(200, json.dumps(answer).encode(), "application/json")
                else:
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
                    self._send(200, data.encode(), "text/event-stream")

            def _send(self, status: int, body: bytes, content_type: str, headers: dict[str, str] = {}) -> None:
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                for name, value in headers.items():
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(body)

            def _drip(self, reply: _Reply) -> None:
                body = b"data: " + b" " * 100_000 if reply.content_type == "text/event-stream" else b" " * 100_000
                self.send_response(200)
                self.send_header("Content-Type", reply.content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.close_connection = True
                try:
                    for byte in body:
                        self.wfile.write(bytes([byte]))
                        self.wfile.flush()
                        if server._release.wait(reply.interval):
                            return
                except OSError:  # the client left
                    pass

        return Handler
