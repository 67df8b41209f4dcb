"""The adapter's streaming model call: deltas through the queue handler, fall-back, the final chunk,
failures, early stop and the background invocation."""

import asyncio
import gc
import weakref

import pytest
from nemoguardrails import LLMResponseChunk, UsageInfo

from vadrel_core.constants import EventType, EventValueType
from vadrel_core.event import EventEmitter
from vadrel_core.schema import Event
from vadrel_guardrail.adapter import nemo_adapter
from vadrel_guardrail.adapter.nemo_adapter import NeMoLMAdapter
from vadrel_inference.exceptions import InvokerRuntimeError
from vadrel_inference.schema import LMOutput, MessageRole, TokenUsage

from nemo_adapter_doubles import ScriptedInvoker, collect, run, text_event, within_steps


def final(usage):
    return LLMResponseChunk(finish_reason="stop", usage=usage)


def delta(text):
    return LLMResponseChunk(delta_content=text)


def stream(adapter, prompt="hi", **kwargs):
    return run(within_steps(collect(adapter.stream_async(prompt, **kwargs))))


class TestDeltas:
    def test_pieces_then_the_final_chunk(self):
        invoker = ScriptedInvoker(pieces=["Hel", "lo"], usage=(7, 3))
        chunks = stream(NeMoLMAdapter(lm_invoker=invoker), "hi", stop=["X"], temperature=0)
        assert chunks == [delta("Hel"), delta("lo"), final(UsageInfo(7, 3, 10))]
        [call] = invoker.calls
        assert isinstance(call["event_emitter"], EventEmitter)
        assert [(m.role, m.contents) for m in call["messages"]] == [(MessageRole.USER, ["hi"])]
        assert call["hyperparameters"] == {"temperature": 0, "stop": ["X"]}

    def test_no_text_events_gives_the_final_chunk_alone(self):
        assert stream(NeMoLMAdapter(lm_invoker=ScriptedInvoker(usage=None))) == [final(None)]

    def test_only_text_response_events_become_deltas(self):
        events = [Event(type=EventType.RESPONSE, value_type=EventValueType.JSON, value="{}"),
                  Event(type=EventType.STATUS, value_type=EventValueType.TEXT, value="working"),
                  text_event(""), text_event("x")]
        chunks = stream(NeMoLMAdapter(lm_invoker=ScriptedInvoker(events=events, usage=None)))
        assert chunks == [delta(""), delta("x"), final(None)]

    def test_fallback_deltas_follow_the_failed_invokers(self):
        primary = ScriptedInvoker(pieces=["p1", "p2"], error=InvokerRuntimeError("X", "cut"))
        fallback = ScriptedInvoker("test/fallback", pieces=["f1"], usage=(1, 1))
        chunks = stream(NeMoLMAdapter(lm_invoker=primary, fallback_lms=[fallback]))
        assert chunks == [delta("p1"), delta("p2"), delta("f1"), final(UsageInfo(1, 1, 2))]
        assert primary.calls[0]["event_emitter"] is fallback.calls[0]["event_emitter"]

    def test_structured_output_is_serialised_but_not_sent(self):
        invoker = ScriptedInvoker(pieces=["{", "}"], response_schema=dict, answer=LMOutput(
            text="{}", structured_output={"ok": True}, token_usage=TokenUsage(input_tokens=2, output_tokens=1)))
        assert stream(NeMoLMAdapter(lm_invoker=invoker)) == [delta("{"), delta("}"), final(UsageInfo(2, 1, 3))]


class TestFailures:
    def test_all_invokers_fail_after_their_deltas(self):
        last = InvokerRuntimeError("X", "second")
        primary = ScriptedInvoker(pieces=["a"], error=TimeoutError())
        fallback = ScriptedInvoker("test/fallback", pieces=["b"], error=last)
        received = []

        async def read():
            async for chunk in NeMoLMAdapter(lm_invoker=primary, fallback_lms=[fallback]).stream_async("hi"):
                received.append(chunk)

        with pytest.raises(InvokerRuntimeError) as info:
            run(within_steps(read()))
        assert info.value is last
        assert received == [delta("a"), delta("b")]

    def test_preparation_errors_come_at_the_first_request_and_start_nothing(self):
        invoker = ScriptedInvoker()
        agen = NeMoLMAdapter(lm_invoker=invoker).stream_async(42)
        with pytest.raises(TypeError):
            run(within_steps(collect(agen)))
        assert invoker.calls == []

    def test_response_builder_failure_after_all_deltas(self):
        invoker = ScriptedInvoker(pieces=["a"], response_schema=dict,
                                  answer=LMOutput(structured_output={"x": object()}))
        received = []

        async def read():
            async for chunk in NeMoLMAdapter(lm_invoker=invoker).stream_async("hi"):
                received.append(chunk)

        with pytest.raises(TypeError):
            run(within_steps(read()))
        assert received == [delta("a")]

    def test_a_failing_emitter_close_ends_the_stream_with_its_error(self, monkeypatch):
        # Should the emitter's close fail before the handler got its sentinel, the reader must not
        # wait for ever: the stream ends and the close's error is raised.
        async def broken_close(self):
            raise RuntimeError("close broke")

        monkeypatch.setattr(EventEmitter, "close", broken_close)
        received = []

        async def read():
            async for chunk in NeMoLMAdapter(lm_invoker=ScriptedInvoker(pieces=["a"])).stream_async("hi"):
                received.append(chunk)

        with pytest.raises(RuntimeError, match="close broke"):
            run(within_steps(read()))
        assert received == [delta("a")]

    def test_close_failure_after_an_invoker_failure_is_chained_to_it(self, monkeypatch):
        async def broken_close(self):
            raise RuntimeError("close broke")

        monkeypatch.setattr(EventEmitter, "close", broken_close)
        failure = ValueError("invoker broke")
        with pytest.raises(RuntimeError) as info:
            stream(NeMoLMAdapter(lm_invoker=ScriptedInvoker(error=failure)))
        assert info.value.__context__ is failure

    def test_the_emitter_is_closed_after_a_failure(self, monkeypatch):
        closed = []
        original = EventEmitter.close

        async def recording_close(self):
            closed.append(self)
            await original(self)

        monkeypatch.setattr(EventEmitter, "close", recording_close)
        invoker = ScriptedInvoker(error=ValueError("no"))
        with pytest.raises(ValueError):
            stream(NeMoLMAdapter(lm_invoker=invoker))
        assert closed == [invoker.calls[0]["event_emitter"]]


class TestBackgroundInvocation:
    def test_early_stop_lets_the_invocation_run_to_its_end(self):
        async def scenario():
            release = asyncio.Event()
            finished = asyncio.Event()
            seen = {}

            async def wait_for_release(invoker):
                seen["task"] = asyncio.current_task()
                await release.wait()
                await invoker.calls[0]["event_emitter"].emit(text_event("late"))
                finished.set()

            invoker = ScriptedInvoker(pieces=["first", "second"], before_answer=wait_for_release)
            agen = NeMoLMAdapter(lm_invoker=invoker).stream_async("hi")
            assert await agen.__anext__() == delta("first")
            await agen.aclose()
            release.set()
            await within_steps(finished.wait())
            task = seen["task"]
            await within_steps(asyncio.wait([task]))
            handler = invoker.calls[0]["event_emitter"].handlers[0]
            queued = []
            while not handler.queue.empty():
                queued.append(handler.queue.get_nowait())
            return task, queued

        task, queued = run(scenario())
        assert not task.cancelled() and task.exception() is None
        # The unread events are still queued, the close's sentinel behind them.
        assert [e.value for e in queued[:2]] == ["second", "late"]
        assert queued[2] is nemo_adapter._STREAM_DONE

    def test_an_abandoned_invocation_is_not_collected_mid_way(self):
        # The event loop holds tasks weakly: an invocation whose reader has gone must still be
        # referenced until it ends, or it would be destroyed while pending.
        async def scenario():
            loop = asyncio.get_running_loop()
            refs = {}

            async def park(invoker):
                refs["task"] = weakref.ref(asyncio.current_task())
                future = loop.create_future()  # nothing outside the task refers to it
                refs["future"] = weakref.ref(future)
                await future

            invoker = ScriptedInvoker(pieces=["a"], before_answer=park)
            agen = NeMoLMAdapter(lm_invoker=invoker).stream_async("hi")
            await agen.__anext__()
            await agen.aclose()
            del agen, invoker
            await within_steps(_until(lambda: "future" in refs))
            gc.collect()
            task = refs["task"]()
            alive = task is not None and not task.done()
            if refs["future"]() is not None:
                refs["future"]().set_result(None)
            if task is not None:
                await within_steps(asyncio.wait([task]))
            return alive, task

        alive, task = run(scenario())
        assert alive
        assert task.done() and not task.cancelled()

    def test_concurrent_streams_do_not_share_queues(self):
        a = NeMoLMAdapter(lm_invoker=ScriptedInvoker(pieces=["1", "2", "3"], usage=None))

        async def both():
            return await asyncio.gather(collect(a.stream_async("x")), collect(a.stream_async("y")))

        first, second = run(within_steps(both()))
        assert first == second == [delta("1"), delta("2"), delta("3"), final(None)]


async def _until(predicate):
    while not predicate():
        await asyncio.sleep(0)
