"""Event-loop CPU of one NeMo check, against NeMo Guardrails' own `generate_async` on the same rails.

A local server in another process (asyncio, HTTP/1.1 keep-alive) answers every chat-completions
request with "unsafe S6", so only this process's work is measured: the CPU time of the thread that
runs the event loop, per check, for
  - `NemoGuardrailEngine.check_input` / `check_output` (the rails, our model adapter and invoker);
  - `generate_async` of the engine's own rails with the messages and options the engine sends;
  - `generate_async` of rails built from the same packaged configuration with NeMo Guardrails' own
    OpenAI-compatible model in place of our adapter.
Checks run one after another on one loop; the best of the rounds is kept.
"""

import asyncio
import json
import os
import socket
import subprocess
import sys
import time

os.environ.setdefault("NEMO_GUARDRAILS_NO_USAGE_STATS", "1")
os.environ.setdefault("DO_NOT_TRACK", "1")

CHECKS = 200
ROUNDS = 3

ANSWER = json.dumps({
    "id": "chatcmpl-1", "object": "chat.completion", "model": "judge",
    "choices": [{"index": 0, "message": {"role": "assistant", "content": "unsafe S6"}, "finish_reason": "stop"}],
    "usage": {"prompt_tokens": 300, "completion_tokens": 2, "total_tokens": 302},
}).encode()
RESPONSE = (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(ANSWER)) + ANSWER


async def serve(port):
    async def connection(reader, writer):
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                length = 0
                for line in head.split(b"\r\n"):
                    if line[:15].lower() == b"content-length:":
                        length = int(line[15:])
                await reader.readexactly(length)
                writer.write(RESPONSE)
        except (asyncio.IncompleteReadError, ConnectionError):
            writer.close()

    server = await asyncio.start_server(connection, "127.0.0.1", port, backlog=1024)
    await server.serve_forever()


def start_server():
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    process = subprocess.Popen([sys.executable, __file__, "--serve", str(port)])
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            return port, process
        except OSError:
            time.sleep(0.05)
    process.kill()
    raise RuntimeError("the benchmark server did not start")


async def cpu_per_check(check):
    for i in range(20):
        await check(i)
    best = float("inf")
    for _ in range(ROUNDS):
        started = time.thread_time()
        for i in range(CHECKS):
            await check(i)
        best = min(best, (time.thread_time() - started) / CHECKS)
    return best * 1000


def main():
    from nemoguardrails import LLMRails, RailsConfig

    from vadrel_guardrail import GuardrailMode
    from vadrel_guardrail.config.safety import ContentSafetyConfigBuilder, TopicSafetyConfigBuilder
    from vadrel_guardrail.constants import NEMO_BASE_CONFIG_PATH
    from vadrel_guardrail.engine.nemo_engine import NemoGuardrailEngine, NemoGuardrailEngineConfig

    port, server = start_server()
    base_url = f"http://127.0.0.1:{port}/v1"
    try:
        content, topic = ContentSafetyConfigBuilder(), TopicSafetyConfigBuilder()
        engine = NemoGuardrailEngine(NemoGuardrailEngineConfig.from_model_config(
            model_id="local/judge", credentials="k", config={"base_url": base_url},
            guardrail_mode=GuardrailMode.BOTH, content_safety_config=content, topic_safety_config=topic,
        ))
        own_model = f"models:\n  - type: main\n    engine: openai\n    model: judge\n    parameters:\n" \
                    f"      base_url: {base_url}\n      api_key: k\n"
        own = LLMRails(RailsConfig.from_content(yaml_content=own_model) + RailsConfig.from_path(NEMO_BASE_CONFIG_PATH))
        context = {"role": "context", "content": {"safety_context": {
            "topic_safety": topic.get_string(), "content_safety": content.get_string()}}}

        def run(rails, rail):
            def check(i):
                turns = [{"role": "user", "content": f"text {i}"}] if rail == "input" else \
                        [{"role": "user", "content": ""}, {"role": "assistant", "content": f"text {i}"}]
                return rails.generate_async(messages=[context, *turns],
                                            options={"rails": [rail], "output_vars": ["response"]}, state={})
            return check

        rows = [
            ("engine.check_input", lambda i: engine.check_input(f"text {i}")),
            ("rails.generate_async, input", run(engine.rails, "input")),
            ("own model, input", run(own, "input")),
            ("engine.check_output", lambda i: engine.check_output(f"text {i}")),
            ("rails.generate_async, output", run(engine.rails, "output")),
            ("own model, output", run(own, "output")),
        ]

        async def measure():
            return [(name, await cpu_per_check(check)) for name, check in rows]

        results = asyncio.run(measure())
    finally:
        server.kill()
        server.wait()
    print(f"event-loop CPU per check, {CHECKS} checks one after another, best of {ROUNDS}")
    for name, ms in results:
        print(f"  {name:32s} {ms:6.2f} ms")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--serve"]:
        asyncio.run(serve(int(sys.argv[2])))
    else:
        main()
