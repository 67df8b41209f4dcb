"""Decision-model engine end to end: `from_config`, the stand-in decision invoker and a local
OpenAI-compatible server on 127.0.0.1 that plays the decision model."""

import asyncio
import json
import os

import pytest
from chat_server import ChatServer

from vadrel_guardrail import GuardrailManager, GuardrailResult
from vadrel_guardrail.engine.dm_engine import (
    DEFAULT_DM_MODEL_ID,
    DMGuardrailEngine,
    DMGuardrailEngineConfig,
)
from vadrel_inference.exceptions import BaseInvokerError


@pytest.fixture
def server():
    running = ChatServer().start()
    yield running
    running.stop()


def build(server):
    return DMGuardrailEngine.from_config(
        model_id=DEFAULT_DM_MODEL_ID, engine_config=DMGuardrailEngineConfig(),
        credentials="test-key", config={"base_url": server.base_url})


def user_document(request):
    messages = request.body["messages"]
    return json.loads(messages[-1]["content"] if isinstance(messages[-1]["content"], str)
                      else messages[-1]["content"][0]["text"])


class TestEndToEnd:
    def test_packaged_policies_through_a_local_decision_model(self, server):
        engine = build(server)
        assert isinstance(engine, DMGuardrailEngine)
        assert engine.config == DMGuardrailEngineConfig()
        names = list(engine.policies)
        assert "self_harm" in names and "instruction_override" in names

        low = {name: 0.01 for name in names}
        server.reply_text(json.dumps(low))
        # The worst violation is reported: self_harm (0.45 >= its 0.4) beats nothing else violated.
        server.reply_text("Here you go:\n```json\n" + json.dumps({**low, "self_harm": 0.45, "hate_speech": 0.45})
                          + "\n```")

        async def checks():
            return (await engine.check_input("How do I bake bread?", hyperparameters={"temperature": 0}),
                    await engine.check_input("a worrying message", trace_attributes={"id": "t-1"}))

        safe, unsafe = asyncio.run(checks())
        assert safe == GuardrailResult.safe(score=0.01)
        policy = engine.policies["self_harm"]
        assert unsafe == GuardrailResult.unsafe(reason=policy.reason, category=policy.category, policy="self_harm",
                                                score=0.45)

        # One decision call per check, whatever the number of policies.
        assert len(server.requests) == 2
        first = server.requests[0]
        assert first.path.endswith("/chat/completions")
        assert first.headers.get("Authorization") == "Bearer test-key"
        assert first.body.get("temperature") == 0
        document = user_document(first)
        assert document["state"] == {"content": "How do I bake bread?"}
        assert list(document["questions"]) == names
        assert document["questions"]["self_harm"]["instructions"] == policy.question.instructions

    def test_a_failing_decision_model_reaches_the_caller(self, server):
        engine = build(server)
        server.reply_error(500, "decision model unavailable")
        with pytest.raises(BaseInvokerError):
            asyncio.run(engine.check_input("anything"))

    def test_an_unsafe_text_is_still_blocked_after_a_burst_that_ran_out_of_time(self, server):
        # With error_conservative=False a check whose model call fails is skipped: were the connection pool
        # wedged by the burst, every later check would fail and so pass unchecked.
        engine = DMGuardrailEngine.from_config(
            model_id=DEFAULT_DM_MODEL_ID, engine_config=DMGuardrailEngineConfig(), credentials="test-key",
            config={"base_url": server.base_url, "timeout": 0.5, "max_connections": 1})
        manager = GuardrailManager(engine, error_conservative=False)
        low = {name: 0.01 for name in engine.policies}

        async def scenario():
            server.answer_with(lambda body: json.dumps(low))
            server.delay = 0.05
            for _ in range(3):  # most of each burst's checks run out of time and are skipped
                burst = await asyncio.gather(*(manager.check_content(f"message {i}") for i in range(40)))
                assert all(result.is_safe for result in burst)
            server.delay = 0.0
            server.answer_with(lambda body: json.dumps({**low, "self_harm": 0.9}))
            return await manager.check_content("a worrying message")

        server_requests_before = len(server.requests)
        result = asyncio.run(scenario())
        assert (result.is_safe, result.policy) == (False, "self_harm")
        assert len(server.requests) > server_requests_before
