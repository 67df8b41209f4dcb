"""How much of an answer the invoker reads: at most `max_answer_bytes`, decompressed, of a plain or a streamed
answer, in bounded memory and without holding up its event loop; and redirects, which it reports instead
of following."""

import asyncio
import gzip
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from vadrel_core.event import EventEmitter
from vadrel_inference.exceptions import InvokerRuntimeError
from vadrel_inference.lm_invoker import build_lm_invoker
from vadrel_inference.lm_invoker.openai_compatible_lm_invoker import OpenAICompatibleLMInvoker
from vadrel_inference.schema import Message, MessageRole

from flood_server import GZIPPED_TEXT, SPLIT_TEXT, FloodServer, plain_answer

DEFAULT_LIMIT = 8 << 20
MB = 1 << 20


def invoker_for(base_url, **config):
    return build_lm_invoker(model_id="local/tiny-model", credentials="k", config={"base_url": base_url, **config})


def user(text):
    return [Message(role=MessageRole.USER, contents=[text])]


def call(invoker, streamed=False):
    emitter = EventEmitter(handlers=[]) if streamed else None
    return asyncio.run(invoker.invoke(messages=user("hi"), event_emitter=emitter))


def streamed_answer(text):
    return (b"data: " + json.dumps({"choices": [{"index": 0, "delta": {"content": text}}]}).encode()
            + b"\n\ndata: [DONE]\n\n")


@pytest.fixture(scope="module")
def flood_server():
    server = FloodServer().start()
    yield server
    server.stop()


# One call against the flood server, alone in a process: its memory is measured from just before the call
# (after a first call has loaded everything), and a ticker on its event loop measures the longest time the
# loop went without running it. The process's address space is capped, so that a reader without a bound
# fails at once instead of taking the machine's memory (not under AddressSanitizer, whose shadow memory
# needs far more address space than the process uses).
MEASURED_CALL = textwrap.dedent("""
    import asyncio, json, resource, sys

    from vadrel_core.event import EventEmitter
    from vadrel_inference.lm_invoker import build_lm_invoker
    from vadrel_inference.schema import Message, MessageRole

    url, answer, streamed, limit, capped = sys.argv[1], sys.argv[2], sys.argv[3] == "1", sys.argv[4], sys.argv[5] == "1"

    def status(field):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

    def invoker(answer):
        config = {"base_url": url + "/" + answer + "/v1", "timeout": 20, "max_retries": 0}
        if limit != "default":
            config["max_answer_bytes"] = int(limit)
        return build_lm_invoker("local/tiny-model", credentials="k", config=config)

    async def main():
        messages = [Message(role=MessageRole.USER, contents=["hi"])]
        emitter = EventEmitter(handlers=[]) if streamed else None
        assert (await invoker("ok").invoke(messages=messages, event_emitter=emitter)).text == "ok"
        longest = 0.0

        async def tick():
            nonlocal longest
            loop = asyncio.get_running_loop()
            while True:
                before = loop.time()
                await asyncio.sleep(0.005)
                longest = max(longest, loop.time() - before - 0.005)

        ticker = asyncio.create_task(tick())
        await asyncio.sleep(0.02)
        if capped:
            resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + (1 << 30),) * 2)
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak of the resident memory starts again from here
        start = status("VmRSS")
        try:
            await invoker(answer).invoke(messages=messages, event_emitter=emitter)
            outcome = ("answer", "")
        except BaseException as e:
            outcome = (type(e).__name__, str(e))
        await asyncio.sleep(0.02)  # the ticker's turn: a stall at the call's end is measured too
        ticker.cancel()
        return {"error": outcome[0], "message": outcome[1][:300], "growth": status("VmHWM") - start, "stall": longest}

    print(json.dumps(asyncio.run(main(), debug=False)))
""")


def measured_call(server, answer, streamed, limit):
    url = server.url("x").rsplit("/x/", 1)[0]
    asan = "libasan" in os.environ.get("LD_PRELOAD", "")
    env = dict(os.environ)
    if asan:
        # Freed memory waits in the sanitizer's quarantine, 256 MB by default: it would count as the reader's.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=16"
    result = subprocess.run(
        [sys.executable, "-c", MEASURED_CALL, url, answer, "1" if streamed else "0", str(limit), "0" if asan else "1"],
        capture_output=True, text=True, timeout=120, cwd=Path(__file__).parent, env=env,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.splitlines()[-1])


class TestTooLargeAnswers:
    """Answers past the bound fail the call, naming the bound, after reading no more than about the bound."""

    @pytest.mark.parametrize(
        "answer, streamed, limit",
        [("endless", False, MB), ("endless_stream", True, MB), ("gzip_bomb", False, MB),
         ("unbroken_line", True, 256 << 10), ("big", False, "default")],
    )
    def test_the_call_fails_in_bounded_memory_and_time(self, flood_server, answer, streamed, limit):
        outcome = measured_call(flood_server, answer, streamed, limit)
        bound = DEFAULT_LIMIT if limit == "default" else limit
        assert (outcome["error"], outcome["message"]) == (
            "InvokerRuntimeError",
            f"[OpenAICompatibleLMInvoker] the answer from {flood_server.url(answer)}/chat/completions is larger "
            f"than max_answer_bytes ({bound} bytes)",
        )
        assert outcome["growth"] < 256 * MB
        assert outcome["stall"] < 0.5

    @pytest.mark.parametrize("streamed", [False, True])
    def test_an_answer_of_exactly_the_bound_is_read(self, chat_server, streamed):
        # The bound is on the bytes of the answer, whatever a piece of it holds; one byte more fails.
        body = streamed_answer("x" * 1000) if streamed else plain_answer("x" * 1000)
        for limit, fits in [(len(body), True), (len(body) - 1, False)]:
            if streamed:
                chat_server.reply_stream_raw(body)
            else:
                chat_server.reply_raw(body)
            invoker = invoker_for(chat_server.base_url, max_answer_bytes=limit)
            if fits:
                assert call(invoker, streamed).text == "x" * 1000
            else:
                with pytest.raises(InvokerRuntimeError, match=rf"larger than max_answer_bytes \({limit} bytes\)"):
                    call(invoker, streamed)

    def test_the_bound_is_on_the_decompressed_answer(self, flood_server):
        size = len(plain_answer(GZIPPED_TEXT))
        assert call(invoker_for(flood_server.url("gzipped"), max_answer_bytes=size)).text == GZIPPED_TEXT
        with pytest.raises(InvokerRuntimeError, match=rf"larger than max_answer_bytes \({size - 1} bytes\)"):
            call(invoker_for(flood_server.url("gzipped"), max_answer_bytes=size - 1))

    def test_an_error_answer_is_bounded_too(self, chat_server):
        chat_server.reply_error(400, "z" * 5000)
        with pytest.raises(InvokerRuntimeError, match=r"larger than max_answer_bytes \(1000 bytes\)"):
            call(invoker_for(chat_server.base_url, max_answer_bytes=1000, max_retries=0))

    @pytest.mark.parametrize("streamed", [False, True])
    def test_the_connection_still_serves_after_a_refused_answer(self, chat_server, streamed):
        invoker = invoker_for(chat_server.base_url, max_answer_bytes=2000)

        async def calls():
            emitter = EventEmitter(handlers=[]) if streamed else None
            if streamed:
                chat_server.reply_stream_raw(streamed_answer("w" * 5000))
            else:
                chat_server.reply_raw(plain_answer("w" * 5000))
            with pytest.raises(InvokerRuntimeError, match="max_answer_bytes"):
                await invoker.invoke(messages=user("a"), event_emitter=emitter)
            return (await invoker.invoke(messages=user("b"), event_emitter=emitter)).text

        assert asyncio.run(calls()) == "ok"

    def test_an_answer_of_many_small_objects_keeps_the_loop_turning(self, flood_server):
        # What the invoker does not read is passed over, never made into objects; its time is the bench's.
        outcome = measured_call(flood_server, "many_small", False, "default")
        assert outcome["error"] == "answer"
        assert outcome["growth"] < 48 * MB


class TestStreamedLines:
    def test_lines_that_arrive_a_byte_at_a_time_are_read_whole(self, flood_server):
        assert call(invoker_for(flood_server.url("byte_by_byte")), streamed=True).text == SPLIT_TEXT


class TestRedirects:
    @pytest.mark.parametrize("streamed", [False, True])
    @pytest.mark.parametrize("status", [301, 302, 307, 308])
    def test_a_redirect_is_reported_not_followed(self, chat_server, streamed, status):
        elsewhere = "https://elsewhere.example/v1/chat/completions"
        chat_server.reply_error(status, "moved", headers={"Location": elsewhere})
        with pytest.raises(InvokerRuntimeError) as info:
            call(invoker_for(chat_server.base_url), streamed)
        assert str(info.value) == (f"[OpenAICompatibleLMInvoker] HTTP {status} from {chat_server.base_url}"
                                   f"/chat/completions: redirected to {elsewhere!r}, which is not followed")
        assert len(chat_server.requests) == 1

    def test_a_redirect_without_a_location(self, chat_server):
        chat_server.reply_error(300, "choose")
        with pytest.raises(InvokerRuntimeError, match="HTTP 300 from .*: a redirect without a Location"):
            call(invoker_for(chat_server.base_url))


class TestSetting:
    def test_default_and_bad_values(self):
        invoker = invoker_for("http://127.0.0.1:1/v1")
        assert invoker.max_answer_bytes == DEFAULT_LIMIT
        assert invoker.default_hyperparameters == {}
        assert invoker_for("http://127.0.0.1:1/v1", max_answer_bytes=1).max_answer_bytes == 1
        for value, error in [(0, ValueError), (-5, ValueError), (1.5, TypeError), (True, TypeError), ("1", TypeError)]:
            with pytest.raises(error, match=rf"^max_answer_bytes must be a positive integer, got {value!r}$"):
                invoker_for("http://127.0.0.1:1/v1", max_answer_bytes=value)
            with pytest.raises(error, match="^max_answer_bytes must be a positive integer"):
                OpenAICompatibleLMInvoker("local/m", "http://127.0.0.1:1/v1", "k", max_answer_bytes=value)
