"""A chat-completions service that answers too much, or in awkward pieces, bound to 127.0.0.1 on a free port.

Each answer is chosen by the first segment of the request's path, so a client picks one through its base
URL (`server.url("gzip_bomb")` is `http://127.0.0.1:<port>/gzip_bomb/v1`):

- "ok": a small plain answer, or a small streamed one when the request asks for a stream;
- "endless": a plain answer whose body never ends (chunked);
- "endless_stream": a streamed answer whose events never end;
- "gzip_bomb": a plain answer compressed with gzip, 1 GiB of zeros in about 1 MB on the wire;
- "big": a well-formed plain answer of 200 MB, its length announced;
- "unbroken_line": a streamed answer whose first line never ends, sent in small pieces;
- "many_small": a plain answer of about 7 MiB: "ok", then a field the client does not read of 1.5 million `[{}]`;
- "gzipped": a plain answer of `GZIPPED_TEXT` compressed with gzip;
- "byte_by_byte": a streamed answer of `SPLIT_TEXT` sent a byte at a time, its lines ended in every way a
  server-sent event allows (a line feed, a carriage return, or both), a character cut across two bytes.

Everything is made as it is sent, a piece at a time, until the client leaves: the server holds no more than
a piece, so that it is never what a test of the client's memory measures. It runs its own event loop in a
thread.
"""

from __future__ import annotations

import asyncio
import gzip
import json
import threading
import zlib

MiB = 1 << 20
GZIPPED_TEXT = "y" * 100_000
SPLIT_TEXT = "unsafe \u00e9 S1"


def _head(status: int, headers: dict[str, str]) -> bytes:
    lines = [f"HTTP/1.1 {status} Status", *(f"{name}: {value}" for name, value in headers.items())]
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def _chunk(data: bytes) -> bytes:
    return b"%x\r\n%s\r\n" % (len(data), data)


def _event(content: str, end: bytes = b"\n\n") -> bytes:
    return b"data: " + json.dumps({"choices": [{"index": 0, "delta": {"content": content}}]},
                                  ensure_ascii=False).encode() + end


def plain_answer(text: str) -> bytes:
    return json.dumps({"choices": [{"index": 0, "message": {"role": "assistant", "content": text}}]}).encode()


class FloodServer:
    def __init__(self) -> None:
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._tasks: set[asyncio.Task] = set()

    def _run(self) -> None:
        asyncio.set_event_loop(self._loop)
        self._server = self._loop.run_until_complete(asyncio.start_server(self._connection, "127.0.0.1", 0))
        self._ready.set()
        self._loop.run_forever()
        self._loop.close()

    def start(self) -> FloodServer:
        self._thread.start()
        self._ready.wait()
        return self

    def stop(self) -> None:
        asyncio.run_coroutine_threadsafe(self._shut(), self._loop).result()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()

    def url(self, answer: str) -> str:
        return f"http://127.0.0.1:{self._server.sockets[0].getsockname()[1]}/{answer}/v1"

    async def _shut(self) -> None:
        self._server.close()
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    async def _connection(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        self._tasks.add(task)
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                answer = lines[0].split(" ")[1].split("/")[1]
                headers = dict(line.split(": ", 1) for line in lines[1:] if line)
                length = int(next((v for k, v in headers.items() if k.lower() == "content-length"), "0"))
                body = json.loads(await reader.readexactly(length))
                await getattr(self, "_" + answer)(writer, body)
        except (ConnectionError, asyncio.IncompleteReadError, asyncio.CancelledError):
            pass  # the client left, which is what a bounded client does with these answers
        finally:
            self._tasks.discard(task)
            writer.transport.abort()

    @staticmethod
    async def _send(writer: asyncio.StreamWriter, data: bytes) -> None:
        writer.write(data)
        await writer.drain()

    async def _ok(self, writer: asyncio.StreamWriter, request: dict) -> None:
        if request.get("stream"):
            body = _event("ok") + b"data: [DONE]\n\n"
            kind = "text/event-stream"
        else:
            body = plain_answer("ok")
            kind = "application/json"
        await self._send(writer, _head(200, {"Content-Type": kind, "Content-Length": str(len(body))}) + body)

    async def _endless(self, writer: asyncio.StreamWriter, request: dict) -> None:
        await self._send(writer, _head(200, {"Content-Type": "application/json", "Transfer-Encoding": "chunked"}))
        piece = _chunk(b" " * (64 << 10))
        while True:
            await self._send(writer, piece)

    async def _endless_stream(self, writer: asyncio.StreamWriter, request: dict) -> None:
        await self._send(writer, _head(200, {"Content-Type": "text/event-stream", "Transfer-Encoding": "chunked"}))
        piece = _chunk(_event("unsafe ") * 512)
        while True:
            await self._send(writer, piece)

    async def _gzip_bomb(self, writer: asyncio.StreamWriter, request: dict) -> None:
        # Ended by closing the connection: its length is not known before it is made.
        await self._send(writer, _head(200, {"Content-Type": "application/json", "Content-Encoding": "gzip",
                                             "Connection": "close"}))
        packer = zlib.compressobj(9, zlib.DEFLATED, 31)
        zeros = bytes(MiB)
        for _ in range(1024):
            await self._send(writer, packer.compress(zeros))
        await self._send(writer, packer.flush())
        writer.close()

    async def _big(self, writer: asyncio.StreamWriter, request: dict) -> None:
        start = b'{"choices": [{"index": 0, "message": {"role": "assistant", "content": "'
        end = b'"}}]}'
        pieces = 200
        await self._send(writer, _head(200, {"Content-Type": "application/json",
                                             "Content-Length": str(len(start) + pieces * MiB + len(end))}) + start)
        text = b"a" * MiB
        for _ in range(pieces):
            await self._send(writer, text)
        await self._send(writer, end)

    async def _many_small(self, writer: asyncio.StreamWriter, request: dict) -> None:
        start = b'{"choices": [{"index": 0, "message": {"role": "assistant", "content": "ok"}, "logprobs": ['
        piece, pieces, end = b",".join([b"[{}]"] * 10_000), 150, b"]}]}"
        length = len(start) + pieces * (len(piece) + 1) - 1 + len(end)
        await self._send(writer, _head(200, {"Content-Type": "application/json", "Content-Length": str(length)})
                         + start)
        for at in range(pieces):
            await self._send(writer, (b"," if at else b"") + piece)
        await self._send(writer, end)

    async def _unbroken_line(self, writer: asyncio.StreamWriter, request: dict) -> None:
        await self._send(writer, _head(200, {"Content-Type": "text/event-stream", "Transfer-Encoding": "chunked"})
                         + _chunk(b'data: {"choices": [{"index": 0, "delta": {"content": "'))
        piece = _chunk(b"a" * 1024)
        while True:
            await self._send(writer, piece)
            await asyncio.sleep(0)  # a piece at a time: each one reaches the client on its own

    async def _gzipped(self, writer: asyncio.StreamWriter, request: dict) -> None:
        body = gzip.compress(plain_answer(GZIPPED_TEXT))
        await self._send(writer, _head(200, {"Content-Type": "application/json", "Content-Encoding": "gzip",
                                             "Content-Length": str(len(body))}) + body)

    async def _byte_by_byte(self, writer: asyncio.StreamWriter, request: dict) -> None:
        body = (_event("un", b"\r\n\r\n") + _event("safe \u00e9", b"\n\n") + _event(" S1", b"\r\r")
                + b"data: [DONE]")  # the last line ends with the body
        await self._send(writer, _head(200, {"Content-Type": "text/event-stream", "Content-Length": str(len(body))}))
        for at in range(len(body)):
            await self._send(writer, body[at:at + 1])
            await asyncio.sleep(0.001)
