"""A local chat-completions server for the benchmarks: worker processes on one port (HTTP/1.1
keep-alive) that answer every request with one ready answer, so that only the measuring process's
work is timed."""

import asyncio
import json
import socket
import subprocess
import sys
import time


def response(content, prompt_tokens):
    answer = json.dumps({
        "id": "chatcmpl-1", "object": "chat.completion", "model": "m",
        "choices": [{"index": 0, "message": {"role": "assistant", "content": content}, "finish_reason": "stop"}],
        "usage": {"prompt_tokens": prompt_tokens, "completion_tokens": 1, "total_tokens": prompt_tokens + 1},
    }).encode()
    return (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(answer)) + answer


async def serve(sock, ready):
    async def connection(reader, writer):
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                length = 0
                for line in head.split(b"\r\n"):
                    if line[:15].lower() == b"content-length:":
                        length = int(line[15:])
                await reader.readexactly(length)
                writer.write(ready)
        except (asyncio.IncompleteReadError, ConnectionError):
            writer.close()

    server = await asyncio.start_server(connection, sock=sock, backlog=1024)
    await server.serve_forever()


def worker(port, content, prompt_tokens):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    sock.bind(("127.0.0.1", port))
    asyncio.run(serve(sock, response(content, prompt_tokens)))


def start(content, prompt_tokens, workers=1):
    """Starts the workers; returns the port and the processes, for `stop`."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    processes = [subprocess.Popen([sys.executable, __file__, str(port), content, str(prompt_tokens)])
                 for _ in range(workers)]
    probe.close()
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            return port, processes
        except OSError:
            time.sleep(0.05)
    stop(processes)
    raise RuntimeError("the benchmark server did not start")


def stop(processes):
    for process in processes:
        process.terminate()
        process.wait()


if __name__ == "__main__":
    worker(int(sys.argv[1]), sys.argv[2], int(sys.argv[3]))
