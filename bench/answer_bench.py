"""What reading a large answer costs the event loop: the chat-completions invoker against json.loads.

Answers of about 7 MiB, each served whole by a local server: many small objects in a field the invoker does not
read (1.5 million `[{}]`), the same count of small numbers, and one long text (the answer's content). Each is
measured in a fresh process, after a first small call: the longest time a ticker on the event loop waited past
its 5 ms sleep during one `invoke` (the loop's longest stall), and the growth of the peak resident memory. Beside
it, in another fresh process, json.loads of the same bytes (what the invoker did before), timed on its own, with
the same peak. The median of the runs is printed.

Last, a service that answers `102 Processing` without end (what aiohttp reads before the answer): the longest
stall and the median turn of the loop during a call with a deadline of 2 s, which ends it.
"""

import asyncio
import json
import statistics
import subprocess
import sys
import textwrap
import threading

RUNS = 5
PREFIX = b'{"choices": [{"index": 0, "message": {"role": "assistant", "content": "ok"}}], "logprobs": ['
ANSWERS = {
    "many small objects": PREFIX + b",".join([b"[{}]"] * 1_500_000) + b"]}",
    "many small numbers": PREFIX + b",".join([b"0.25"] * 1_500_000) + b"]}",
    "one long text": json.dumps({"choices": [{"message": {"content": "safe " * 1_500_000}}]}).encode(),
}

CHILD = textwrap.dedent("""
    import asyncio, json, sys, time

    def peak():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

    def restart_peak():
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return peak()

    url, size, how = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if how == "json.loads":
        body = sys.stdin.buffer.read()
        start = restart_peak()
        begin = time.perf_counter()
        json.loads(body)
        print(json.dumps({"stall": time.perf_counter() - begin, "growth": peak() - start}))
        sys.exit()

    from vadrel_inference.lm_invoker import build_lm_invoker
    from vadrel_inference.schema import Message, MessageRole

    async def main():
        config = {"base_url": url, "max_retries": 0, "timeout": 2}
        invoker = build_lm_invoker("local/m", credentials="k", config=config)
        messages = [Message(role=MessageRole.USER, contents=["hi"])]
        await invoker.invoke(messages=messages)  # the small answer: everything loaded
        turns = []

        async def tick():
            loop = asyncio.get_running_loop()
            while True:
                before = loop.time()
                await asyncio.sleep(0.005)
                turns.append(loop.time() - before - 0.005)

        ticker = asyncio.create_task(tick())
        await asyncio.sleep(0.02)
        start = restart_peak()
        try:
            await invoker.invoke(messages=messages)
        except TimeoutError:
            pass  # the flood of informational answers
        await asyncio.sleep(0.02)
        ticker.cancel()
        print(json.dumps({"stall": max(turns), "turn": sorted(turns)[len(turns) // 2], "growth": peak() - start}))

    asyncio.run(main())
""")


class Server:
    """Answers the first request of each connection with `small`, the next ones with the chosen answer."""

    def __init__(self):
        self.answer = b""
        self.flood = False
        self.loop = asyncio.new_event_loop()
        ready = threading.Event()
        threading.Thread(target=self._run, args=(ready,), daemon=True).start()
        ready.wait()

    def _run(self, ready):
        async def start():
            self.server = await asyncio.start_server(self._connection, "127.0.0.1", 0)
            ready.set()
        self.loop.run_until_complete(start())
        self.loop.run_forever()

    async def _connection(self, reader, writer):
        body = b'{"choices": [{"message": {"content": "ok"}}]}'
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                length = next(int(line.split(b":")[1]) for line in head.split(b"\r\n")
                              if line.lower().startswith(b"content-length:"))
                await reader.readexactly(length)
                while self.flood and body is self.answer:
                    writer.write(b"HTTP/1.1 102 Processing\r\n\r\n" * 4096)
                    await writer.drain()
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n"
                             % len(body) + body)
                await writer.drain()
                body = self.answer
        except (ConnectionError, asyncio.IncompleteReadError):
            writer.close()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server.sockets[0].getsockname()[1]}/v1"


def measure(server, body, how):
    result = subprocess.run([sys.executable, "-c", CHILD, server.url, str(len(body)), how], input=body,
                            capture_output=True, check=True)
    return json.loads(result.stdout)


def main():
    server = Server()
    print(f"{'answer':<20} {'MiB':>5}  {'invoker stall':>13} {'peak':>8}  {'json.loads':>10} {'peak':>8}")
    for name, body in ANSWERS.items():
        server.answer = body
        figures = {how: [measure(server, body, how) for _ in range(RUNS)] for how in ("invoker", "json.loads")}
        row = [f"{name:<20} {len(body) / (1 << 20):5.1f}"]
        for how in ("invoker", "json.loads"):
            stall = statistics.median(f["stall"] for f in figures[how]) * 1000
            growth = statistics.median(f["growth"] for f in figures[how]) / (1 << 20)
            row.append(f"{stall:10.1f} ms {growth:5.0f} MiB")
        print("  ".join(row))
    server.flood = True
    figures = [measure(server, b"", "invoker") for _ in range(RUNS)]
    print(f"102 Processing flood: longest stall {statistics.median(f['stall'] for f in figures) * 1000:.0f} ms, "
          f"median turn {statistics.median(f['turn'] for f in figures) * 1000:.0f} ms")


if __name__ == "__main__":
    main()
