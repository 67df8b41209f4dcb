"""The invoker as a service meets it: one deadline per call, retries of transient failures, pooled
connections per event loop, and settings refused when the invoker is built."""

import asyncio
import email.utils
import logging
import os
import re
import random
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from vadrel_core.event import EventEmitter
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
    def test_transient_failures_are_retried(self, chat_server, caplog, status, retry_after):
        for _ in range(2):
            chat_server.reply_error(status, headers={"Retry-After": retry_after} if retry_after else None)
        chat_server.reply_text("unsafe S1")
        with caplog.at_level(logging.INFO, logger="vadrel_inference"):
            output = asyncio.run(invoker_for(chat_server).invoke(messages=user("hi")))
        assert output.text == "unsafe S1"
        assert len(chat_server.requests) == 3
        # Each retry is logged with its attempt, its cause and the wait before it.
        url = chat_server.base_url + "/chat/completions"
        pattern = re.compile(rf"Retrying request to {re.escape(url)} in (\d+\.\d\d) seconds \(attempt ([23]) of 3\) after HTTP {status}")
        # The invoker's own records: under -X dev asyncio may add a slow-callback warning of its own.
        found = [(r.levelname, pattern.fullmatch(r.getMessage())) for r in caplog.records
                 if r.name.startswith("vadrel_inference")]
        assert [(level, bool(match), match and match[2]) for level, match in found] == [("INFO", True, "2"), ("INFO", True, "3")]
        if retry_after == "0":
            # A wait of none still takes the shortest back-off: no tight loop of requests.
            assert [match[1] for _, match in found] == ["0.38", "0.38"]

    def test_a_dropped_connection_is_retried(self, chat_server, caplog):
        chat_server.reply_drop()
        chat_server.reply_text("second")
        with caplog.at_level(logging.INFO, logger="vadrel_inference"):
            assert asyncio.run(invoker_for(chat_server).invoke(messages=user("hi"))).text == "second"
        (record,) = [r for r in caplog.records if r.name.startswith("vadrel_inference")]
        assert re.fullmatch(r"Retrying request to \S+ in \d+\.\d\d seconds \(attempt 2 of 3\) after "
                            r"ServerDisconnectedError: .*", record.getMessage())

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
        # Debug mode also reports slow steps ("Executing ... took"): the first call loads aiohttp.
        complaints = [line for line in result.stderr.splitlines() if not line.startswith("Executing <")]
        assert (result.stdout, complaints) == ("done\n", [])


async def burst(invoker, calls, deadline=None):
    """`calls` calls at once, each within the invoker's deadline or, when given, the caller's own; how many of
    them ran out of time."""

    async def call():
        async with asyncio.timeout(deadline):
            return await invoker.invoke(messages=user("hi"))

    outcomes = await asyncio.gather(*(call() for _ in range(calls)), return_exceptions=True)
    assert all(isinstance(o, TimeoutError) or o.text == "ok" for o in outcomes), outcomes
    return sum(isinstance(o, TimeoutError) for o in outcomes)


async def every_connection_serves(invoker, server):
    """`max_connections` calls that the server answers only once all of them have arrived: they succeed only
    when none of the invoker's connection slots is lost."""
    server.answer_together(invoker.max_connections)
    outcomes = await asyncio.gather(*(invoker.invoke(messages=user("hi")) for _ in range(invoker.max_connections)),
                                    return_exceptions=True)
    assert [o if isinstance(o, BaseException) else o.text for o in outcomes] == ["ok"] * invoker.max_connections


def open_files():
    return len(os.listdir("/proc/self/fd"))


def run_loaded(scenario):
    # asyncio's debug mode (on under -X dev) records a stack for every callback scheduled: with hundreds of
    # connections at once that alone would outlast the deadlines these runs depend on.
    return asyncio.run(scenario, debug=False)


class TestOverload:
    """Calls that run out of time or are cancelled, wherever they are, leave every connection either usable
    or closed: the invoker serves as before once the service is healthy again."""

    # At 100 connections the callers set the deadline of the burst (cancelling the call from outside, as an
    # application does), so that the invoker's own deadline leaves time enough to open 100 connections after
    # it, however slow the build.
    @pytest.mark.parametrize(
        "connections, calls, service_time, timeout, deadline",
        [(1, 40, 0.05, 0.5, None), (2, 80, 0.05, 0.5, None), (100, 300, 0.6, 10.0, 1.0)],
    )
    def test_after_a_burst_that_runs_out_of_time(self, chat_server, connections, calls, service_time, timeout, deadline):
        invoker = invoker_for(chat_server, max_connections=connections, timeout=timeout)

        async def scenario():
            chat_server.delay = service_time
            assert await burst(invoker, calls, deadline) >= calls // 2
            chat_server.delay = 0.0
            for _ in range(3):
                assert (await invoker.invoke(messages=user("hi"))).text == "ok"
            await every_connection_serves(invoker, chat_server)

        run_loaded(scenario())

    def test_repeated_bursts_at_the_default_settings(self, chat_server):
        invoker = invoker_for(chat_server, timeout=10.0)
        assert invoker.max_connections == 100

        async def scenario():
            for _ in range(3):
                chat_server.delay = 0.6
                assert await burst(invoker, 300, deadline=1.0) >= 150
                chat_server.delay = 0.0
                await every_connection_serves(invoker, chat_server)

        run_loaded(scenario())

    def test_chaos(self, chat_server):
        """Thousands of calls, plain and streamed, with random deadlines and cancellations against a server that
        answers slowly, trickles its answers or drops connections: a cancellation lands in every phase (waiting
        for a connection, connecting, sending, reading the headers or the body, pausing before a retry)."""
        rng = random.Random(28)
        connections = 8
        invoker = invoker_for(chat_server, max_connections=connections, timeout=5.0)

        async def call(deadline):
            emitter = EventEmitter(handlers=[]) if rng.random() < 0.5 else None
            async with asyncio.timeout(deadline):
                return await invoker.invoke(messages=user("hi"), event_emitter=emitter)

        async def scenario():
            await every_connection_serves(invoker, chat_server)
            files = open_files()
            chat_server.misbehave(seed=28)
            loop = asyncio.get_running_loop()
            tasks = []
            for wave in range(200):
                for _ in range(10):
                    task = asyncio.create_task(call(rng.uniform(0.0, 0.8)))
                    if rng.random() < 0.3:
                        loop.call_later(rng.uniform(0.0, 0.5), task.cancel)
                    tasks.append(task)
                await asyncio.sleep(0.005)
            outcomes = await asyncio.gather(*tasks, return_exceptions=True)
            unexpected = [o for o in outcomes if not isinstance(o, (TimeoutError, asyncio.CancelledError,
                                                                    InvokerRuntimeError)) and o.text != "ok"]
            assert unexpected == []
            chat_server.behave()
            for streamed in (False, True, False):
                output = await invoker.invoke(messages=user("hi"), event_emitter=EventEmitter(handlers=[]) if streamed else None)
                assert output.text == "ok"
            await every_connection_serves(invoker, chat_server)
            assert chat_server.open <= connections
            # The server's side of the connections the invoker dropped goes once the server notices.
            for _ in range(100):
                if open_files() <= files:
                    break
                await asyncio.sleep(0.05)
            assert open_files() <= files

        run_loaded(scenario())


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
            ("base_url", "http://127.0.0.1:99999/v1", ValueError), ("base_url", "http://127.0.0.1:0/v1", ValueError),
        ],
    )
    def test_bad_settings_are_refused_when_built(self, key, value, error):
        config = {"base_url": "http://127.0.0.1:1/v1", key: value}
        with pytest.raises(error) as info:
            build_lm_invoker(model_id="local/m", credentials="k", config=config)
        assert key in str(info.value) and repr(value) in str(info.value)

    def test_a_key_with_a_line_break_is_refused_when_built(self):
        with pytest.raises(ValueError, match="api_key must not hold control characters") as info:
            build_lm_invoker(model_id="local/m", credentials="sk-secret\n", config={"base_url": "http://127.0.0.1:1/v1"})
        assert "sk-secret" not in str(info.value)
