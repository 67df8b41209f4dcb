"""The NeMo engine against a local chat-completions server: a burst of checks on a small listen queue,
and how the packaged configuration reads the judge's answers."""

import asyncio
import logging
import os
import sys

import pytest

from chat_server import ChatServer
from effort import scaled

sys.path.insert(0, os.path.dirname(__file__))  # the shared doubles beside this file
from nemo_doubles import FixedContent
from vadrel_guardrail.engine.nemo_engine import NemoGuardrailEngine, NemoGuardrailEngineConfig, _parse_self_check_answer

LOGGER = "vadrel_guardrail.engine.nemo_engine"


def engine_for(server, **config):
    return NemoGuardrailEngine(
        NemoGuardrailEngineConfig.from_model_config(
            model_id="local/judge", credentials="k", config={"base_url": server.base_url, **config},
            content_safety_config=FixedContent(),
        )
    )


def test_a_burst_of_checks_is_answered_by_the_judge(monkeypatch):
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        monkeypatch.delenv(name, raising=False)
    server = ChatServer(listen_queue=8).start()
    try:
        # "not safe" as the runtime's own reader takes it would pass: the packaged reader must be in use.
        server.answer_with(lambda body: "NOT SAFE - S6")
        engine = engine_for(server, max_connections=50)

        async def sequential():
            return [await engine.check_input(f"blocked {i}") for i in range(20)]

        results = asyncio.run(sequential())
        assert server.connections <= 2

        async def burst():
            return await asyncio.gather(*(engine.check_input(f"blocked {i}") for i in range(scaled(500, minimum=100))))

        results += asyncio.run(burst())
        assert {(r.is_safe, r.reason) for r in results} == {(False, "S6")}
        assert server.most_open <= 50
    finally:
        server.stop()


@pytest.mark.parametrize(
    "answer, verdict",
    [
        ("safe", [True]), ("Safe.", [True]), ("no", [True]), ("No.", [True]),
        ("unsafe", [False]), ("Unsafe: S1, S10", [False, "S1", "S10"]), ("**UNSAFE** S6 (violence)", [False, "S6"]),
        ("not safe", [False]), ("Not safe.", [False]), ("NOT SAFE - S6", [False, "S6"]),
        ("yes", [False]), ("Yes, it must be blocked.", [False]),
    ],
)
def test_answers_that_read(answer, verdict, caplog):
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert _parse_self_check_answer(answer) == verdict
    assert caplog.records == []


@pytest.mark.parametrize("answer", ["", "null", "I cannot help with that.", "x" * 300])
def test_answers_that_do_not_read_block_with_a_warning(answer, caplog):
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert _parse_self_check_answer(answer) == [False]
    [record] = [r for r in caplog.records if r.name == LOGGER]
    assert record.levelname == "WARNING"
    assert record.getMessage() == f"Could not read the safety model's answer, counted as unsafe: {answer[:200]!r}"
