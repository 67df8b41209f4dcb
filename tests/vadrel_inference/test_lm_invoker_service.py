"""The invoker as a service meets it: one deadline per call, retries of transient failures, pooled
connections per event loop, and settings refused when the invoker is built."""

import asyncio
import email.utils
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from vadrel_inference.dm_invoker import build_dm_invoker
from vadrel_inference.exceptions import InvokerRuntimeError
from vadrel_inference.lm_invoker import build_lm_invoker
from vadrel_inference.schema import Message, MessageRole


def invoker_for(server, **config):
    return build_lm_invoker(model_id="local/tiny-model", credentials="k", config={"base_url": server.base_url, **config})


def user(text):
    return [Message(role=MessageRole.USER, contents=[text])]


class TestDeadline:
    @pytest.mark.parametrize("streamed", [False, True])
    def test_a_dripping_answer_ends_at_the_deadline(self, chat_server, streamed):
        from vadrel_core.event import EventEmitter

        chat_server.reply_drip(0.05, stream=streamed)
        invoker = invoker_for(chat_server, timeout=0.5)
        started = time.monotonic()
        with pytest.raises(TimeoutError, match="within 0.5 s"):
            asyncio.run(invoker.invoke(messages=user("hi"), event_emitter=EventEmitter(handlers=[]) if streamed else None))
        # Each byte comes well within any read time-out; only a deadline for the whole call ends it.
        assert time.monotonic() - started < 3


class TestRetries:
    @pytest.mark.parametrize(
        "status, retry_after",
        [(503, "0"), (429, email.utils.formatdate(usegmt=True)), (502, None)],  # none: exponential back-off
        ids=["503-0", "429-date", "502-None"],  # the same in every worker process, whatever the time
    )
    def test_transient_failures_are_retried(self, chat_server, status, retry_after):
        for _ in range(2):
            chat_server.reply_error(status, headers={"Retry-After": retry_after} if retry_after else None)
        chat_server.reply_text("unsafe S1")
        output = asyncio.run(invoker_for(chat_server).invoke(messages=user("hi")))
        assert output.text == "unsafe S1"
        assert len(chat_server.requests) == 3

    def test_the_last_failure_is_raised_when_retries_run_out(self, chat_server):
        for _ in range(3):
            chat_server.reply_error(503, "still down", headers={"Retry-After": "0"})
        with pytest.raises(InvokerRuntimeError, match="HTTP 503 .*still down"):
            asyncio.run(invoker_for(chat_server).invoke(messages=user("hi")))
        assert len(chat_server.requests) == 3

    def test_no_retry_for_a_client_error_nor_past_the_deadline(self, chat_server):
        chat_server.reply_error(401, "bad key")
        with pytest.raises(InvokerRuntimeError, match="HTTP 401 .*bad key"):
            asyncio.run(invoker_for(chat_server).invoke(messages=user("hi")))
        assert len(chat_server.requests) == 1
        # A wait that would end past the deadline is not taken: the failure comes at once.
        chat_server.reply_error(503, "busy", headers={"Retry-After": "30"})
        started = time.monotonic()
        with pytest.raises(InvokerRuntimeError, match="HTTP 503 .*busy"):
            asyncio.run(invoker_for(chat_server, timeout=5).invoke(messages=user("hi")))
        assert len(chat_server.requests) == 2 and time.monotonic() - started < 3


class TestConnections:
    def test_one_pool_per_event_loop(self, chat_server):
        invoker = invoker_for(chat_server)
        dm_invoker = build_dm_invoker(model_id="local/tiny-model", credentials="k", config={"base_url": chat_server.base_url})

        async def calls(n):
            for _ in range(n):
                await invoker.invoke(messages=user("hi"))

        asyncio.run(calls(5))
        assert chat_server.connections == 1
        # A new loop never uses a connection of a closed one, in this thread or another.
        asyncio.run(calls(5))
        thread = threading.Thread(target=lambda: asyncio.run(calls(5)))
        thread.start()
        thread.join()
        assert chat_server.connections == 3

        async def closed_after_use():
            async with dm_invoker as same:
                assert same is dm_invoker
                chat_server.reply_text('{"q": 0.25}')
                await dm_invoker.lm_invoker.invoke(messages=user("hi"))
            assert dm_invoker.lm_invoker._clients == {}

        asyncio.run(closed_after_use())

    def test_nothing_is_left_open_at_exit(self, chat_server):
        script = textwrap.dedent(f"""
            import asyncio, threading
            from vadrel_inference.lm_invoker import build_lm_invoker
            from vadrel_inference.schema import Message, MessageRole
            invoker = build_lm_invoker("local/m", credentials="k", config={{"base_url": {chat_server.base_url!r}}})
            messages = [Message(role=MessageRole.USER, contents=["hi"])]
            async def calls():
                await asyncio.gather(*(invoker.invoke(messages=messages) for _ in range(5)))
            asyncio.run(calls())
            thread = threading.Thread(target=asyncio.run, args=(calls(),))
            thread.start()
            thread.join()
            async def closed():
                async with invoker:
                    await calls()
            asyncio.run(closed())
            asyncio.run(calls())  # kept by the invoker until the interpreter exits
            print("done")
        """)
        result = subprocess.run(
            [sys.executable, "-X", "dev", "-c", script], capture_output=True, text=True, timeout=60,
            cwd=Path(__file__).parent,
        )
        # Debug mode also reports slow steps ("Executing ... took"): the first call loads httpx.
        complaints = [line for line in result.stderr.splitlines() if not line.startswith("Executing <")]
        assert (result.stdout, complaints) == ("done\n", [])


class TestSettings:
    @pytest.mark.parametrize(
        "key, value, error",
        [
            ("timeout", "abc", TypeError), ("timeout", True, TypeError), ("timeout", -1, ValueError),
            ("timeout", 0, ValueError), ("timeout", float("nan"), ValueError),
            ("max_connections", 0, ValueError), ("max_connections", 2.0, TypeError),
            ("max_retries", -1, ValueError), ("max_retries", "2", TypeError),
            ("base_url", "localhost:8000/v1", ValueError), ("base_url", "ftp://host/v1", ValueError),
            ("base_url", "http:///v1", ValueError), ("base_url", 5, TypeError),
        ],
    )
    def test_bad_settings_are_refused_when_built(self, key, value, error):
        config = {"base_url": "http://127.0.0.1:1/v1", key: value}
        with pytest.raises(error) as info:
            build_lm_invoker(model_id="local/m", credentials="k", config=config)
        assert key in str(info.value) and repr(value) in str(info.value)
