"""A small OpenAI-compatible chat-completions server for tests, bound to 127.0.0.1 on a free port.

Replies are scripted one request at a time (`reply_*`); with nothing scripted the server answers
"ok", or what the function given to `answer_with` makes of the request body. Every request is
recorded with its path, headers and JSON body.
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
    kind: str  # "json", "stream", "raw", "hang"
    status: int = 200
    text: str = ""
    pieces: list[str] = field(default_factory=list)
    usage: tuple[int, int] | None = None
    body: bytes = b""
    content_type: str = "application/json"


def _usage(usage: tuple[int, int] | None) -> dict | None:
    if usage is None:
        return None
    return {"prompt_tokens": usage[0], "completion_tokens": usage[1], "total_tokens": sum(usage)}


class ChatServer:
    def __init__(self) -> None:
        self.requests: list[RecordedRequest] = []
        self._replies: list[_Reply] = []
        self._answer: Callable[[Any], str] | None = None
        self._lock = threading.Lock()
        # Hung requests wait on this until the server stops, so a client time-out always fires first.
        self._release = threading.Event()
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), self._handler_class())
        self._httpd.daemon_threads = True
        # A short poll keeps `stop` quick: shutdown waits for the serving loop's next poll.
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True)

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self._httpd.server_address[1]}/v1"

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

    def reply_error(self, status: int, message: str = "bad things") -> None:
        body = json.dumps({"error": {"message": message, "code": status}}).encode()
        self._push(_Reply("raw", status=status, body=body))

    def reply_raw(self, body: bytes, content_type: str = "application/json", status: int = 200) -> None:
        self._push(_Reply("raw", status=status, body=body, content_type=content_type))

    def reply_stream_raw(self, body: bytes) -> None:
        self._push(_Reply("raw", body=body, content_type="text/event-stream"))

    def reply_hang(self) -> None:
        self._push(_Reply("hang"))

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
                    server._release.wait()
                    return
                if reply.kind == "raw":
                    self._send(reply.status, reply.body, reply.content_type)
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

            def _send(self, status: int, body: bytes, content_type: str) -> None:
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        return Handler
