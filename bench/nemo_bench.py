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
import os
import time

import answer_server

os.environ.setdefault("NEMO_GUARDRAILS_NO_USAGE_STATS", "1")
os.environ.setdefault("DO_NOT_TRACK", "1")

CHECKS = 200
ROUNDS = 3

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

    port, server = answer_server.start("unsafe S6", 300)
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
        answer_server.stop(server)
    print(f"event-loop CPU per check, {CHECKS} checks one after another, best of {ROUNDS}")
    for name, ms in results:
        print(f"  {name:32s} {ms:6.2f} ms")


if __name__ == "__main__":
    main()
