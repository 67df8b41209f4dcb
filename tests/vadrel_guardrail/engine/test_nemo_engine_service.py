"""The NeMo engine against a local chat-completions server: a burst of chats on a small listen queue,
and how the packaged configuration reads the judge's answers."""

import asyncio
import logging
import os
import sys

import pytest

from chat_server import ChatServer

sys.path.insert(0, os.path.dirname(__file__))  # the shared doubles beside this file
from nemo_doubles import FixedContent
from vadrel_guardrail import GuardrailMode
from vadrel_guardrail.engine.nemo_engine import NemoGuardrailEngine, NemoGuardrailEngineConfig, _parse_self_check_answer

LOGGER = "vadrel_guardrail.engine.nemo_engine"


def test_the_judge_still_blocks_after_a_burst_of_chats(monkeypatch, caplog):
    # At the default 100 connections and a 3 s deadline, 300 chats checked in and out at once used to
    # hold the loop so long that every model call ran out of time while it connected, which left the
    # connection pool with no free slot: every later check then waited out its deadline and passed.
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        monkeypatch.delenv(name, raising=False)
    server = ChatServer(listen_queue=8).start()
    try:
        # "not safe" as the runtime's own reader takes it would pass: the packaged reader must be in use.
        server.answer_with(lambda body: "NOT SAFE - S6")
        engine = NemoGuardrailEngine(
            NemoGuardrailEngineConfig.from_model_config(
                model_id="local/judge", credentials="k", config={"base_url": server.base_url, "timeout": 3.0},
                content_safety_config=FixedContent(), guardrail_mode=GuardrailMode.BOTH,
            )
        )

        async def chat(i):
            return [await engine.check_input(f"blocked {i}"), await engine.check_output(f"blocked {i}")]

        async def scenario():
            burst = [result for pair in await asyncio.gather(*(chat(i) for i in range(300))) for result in pair]
            asked, opened = len(server.requests), server.connections
            after = [result for i in range(3) for result in await chat(i)]
            return burst, len(server.requests) - asked, server.connections - opened, after

        with caplog.at_level(logging.WARNING):
            burst, asked, opened, after = asyncio.run(scenario())
        # Each later check is answered by the judge, over a connection the burst left open.
        assert {(r.is_safe, r.reason) for r in after} == {(False, "S6")}
        assert asked == 6
        assert opened <= 1
        assert server.most_open <= 100
        # A check of the burst may pass only by failing open, with the warning that says so.
        passed = sum(r.is_safe for r in burst)
        assert {(r.is_safe, r.reason) for r in burst} <= {(False, "S6"), (True, None)}
        failed_open = [r for r in caplog.records if "fail open" in r.getMessage()]
        assert len(failed_open) == passed
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
