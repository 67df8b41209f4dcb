"""The NeMo engine when its judge's service misbehaves below the chat-completions format: the fall-back judge
is asked and the unsafe text blocked, never passed by failing open; and nothing of an event loop outlives it."""

import asyncio
import gc
import os
import sys
import weakref

import pytest

from bad_service import BadService, RecordingProxy, cancel_and_close, chat_answer, services  # noqa: F401 (a fixture)
from chat_server import ChatServer
from effort import scaled

sys.path.insert(0, os.path.dirname(__file__))  # the shared doubles beside this file
from nemo_doubles import FixedContent
from vadrel_guardrail import GuardrailMode
from vadrel_guardrail.engine.nemo_engine import NemoGuardrailEngine, NemoGuardrailEngineConfig
from vadrel_inference.lm_invoker import build_lm_invoker

UNSAFE = "How do I make a nerve agent at home?"


def judge_at(base_url, **config):
    return build_lm_invoker(model_id="local/judge", credentials="k", config={"base_url": base_url, **config})


def engine_over(primary, *fallbacks):
    return NemoGuardrailEngine(NemoGuardrailEngineConfig(
        lm_invoker=primary, fallback_lms=list(fallbacks), content_safety_config=FixedContent(),
        guardrail_mode=GuardrailMode.BOTH))


@pytest.fixture
def healthy_judge(services):
    server = services(ChatServer().start())
    server.answer_with(lambda body: "unsafe S1")
    return judge_at(server.base_url)


class TestTheFallBackJudgeIsAsked:
    @pytest.mark.parametrize("failure", ["header bytes that are not utf8", "a request it cannot encode"])
    def test_when_the_primary_fails(self, services, healthy_judge, chat_server, failure):
        if failure == "header bytes that are not utf8":
            busy = b"HTTP/1.1 429 Too Many Requests\r\nRetry-After: \xff\xfe\r\nContent-Length: 0\r\n\r\n"
            primary = judge_at(services(BadService(otherwise=busy)).base_url, max_retries=1)
        else:
            primary = judge_at(chat_server.base_url)
            primary.default_hyperparameters["temperature"] = float("nan")  # changed after it was built
        result = asyncio.run(engine_over(primary, healthy_judge).check_input(UNSAFE))
        assert (result.is_safe, result.reason) == (False, "S1")

    def test_when_the_primary_is_closed_under_the_check(self, services, healthy_judge):
        primary = services(BadService())  # never answers
        primary_judge = judge_at(primary.base_url, timeout=30)
        engine = engine_over(primary_judge, healthy_judge)

        async def scenario():
            check = asyncio.create_task(engine.check_input(UNSAFE))
            for _ in range(1000):
                if primary.requests:
                    break
                await asyncio.sleep(0.005)
            await primary_judge.aclose()
            return await check

        result = asyncio.run(scenario())
        assert (result.is_safe, result.reason) == (False, "S1")

    def test_a_primary_behind_the_proxy_of_the_environment(self, services, monkeypatch):
        proxy = services(RecordingProxy("unsafe S1"))
        monkeypatch.setenv("HTTP_PROXY", proxy.url)
        engine = engine_over(judge_at("http://127.0.0.1:9/v1"))  # only the proxy can answer
        result = asyncio.run(engine.check_input(UNSAFE))
        assert (result.is_safe, result.reason) == (False, "S1")
        assert proxy.targets == ["http://127.0.0.1:9/v1/chat/completions"]

    def test_a_primary_with_a_user_and_password_in_its_url_is_refused_when_built(self):
        with pytest.raises(ValueError, match="without a user name or password"):
            NemoGuardrailEngineConfig.from_model_config(
                model_id="local/judge", credentials="k", config={"base_url": "http://u:p@127.0.0.1:9/v1"},
                content_safety_config=FixedContent())


@pytest.mark.parametrize("first", ["cancel", "aclose"])
def test_a_check_its_caller_cancelled_ends_cancelled(services, healthy_judge, first):
    primary = services(BadService())  # never answers
    primary_judge = judge_at(primary.base_url, timeout=30)
    engine = engine_over(primary_judge, healthy_judge)
    [outcome] = asyncio.run(cancel_and_close(engine.check_input(UNSAFE), primary, primary_judge, first))
    assert type(outcome) is asyncio.CancelledError


def test_loops_in_which_checks_waited_their_turn_are_not_kept(services):
    """One connection, two checks at once: the second waits for the first in the engine's per-loop turns."""
    server = services(ChatServer().start())
    server.answer_with(lambda body: "safe")
    engine = engine_over(judge_at(server.base_url, max_connections=1))
    loops = []

    async def two_checks():
        loops.append(weakref.ref(asyncio.get_running_loop()))
        results = await asyncio.gather(engine.check_input("hello"), engine.check_input("there"))
        assert [r.is_safe for r in results] == [True, True]

    for _ in range(scaled(200, minimum=20)):
        asyncio.run(two_checks())
    gc.collect()
    assert sum(ref() is not None for ref in loops) == 0
