"""The stage runner: the acknowledgement protocol, the look-ahead cap and the stream error policy."""

import asyncio
import logging
import os
import sys
from collections import deque

import pytest

from vadrel_guardrail import GuardrailManager
from vadrel_guardrail.engine.base_engine import GuardrailStreamValidationError
from vadrel_guardrail.guardrail_manager import _StageRunner, _ValidatedSource
from vadrel_guardrail.schema import GuardrailStreamChunk
from vadrel_inference.exceptions import BaseInvokerError, InvokerRuntimeError

sys.path.insert(0, os.path.dirname(__file__))  # the shared doubles beside this file
from stream_doubles import (  # noqa: E402
    LOGGER,
    NOT_ONE_TO_ONE,
    Source,
    Streaming,
    Strict,
    Unclosable,
    block_on,
    consume,
    consume_until_error,
    doubled,
    fails_after,
    marker,
    safe,
    texts,
    view,
)

class TestErrorPolicy:
    def test_fail_open_and_conservative_recovery(self):
        failure = RuntimeError("boom")
        engine = Streaming(fails_after(read=3, acknowledged=1, error=failure))
        manager = GuardrailManager([engine, Streaming()], error_conservative=False)
        source = Source(list("abcde"))
        assert texts(consume(manager, source)) == list("abcde")
        assert source.aclose_calls == 1
        engine.seen = []
        manager.error_conservative = True
        source = Source(list("abcde"))
        assert view(consume(manager, source)) == [("a", True, None), ("", False, "Error checking content: boom")]
        assert source.aclose_calls == 1 and source.position == 3

    def test_fail_open_chunks_are_still_checked_by_later_stages(self):
        broken = Strict(error=ValueError("down"))
        later = Strict(unsafe_on="bad", reason="later")
        manager = GuardrailManager([broken, Streaming(), later], error_conservative=False)
        assert view(consume(manager, Source(["so ", "bad"]))) == [("", False, "later")]
        assert texts(consume(manager, Source(["so ", "good"]))) == ["so ", "good"]

    def test_invoker_errors_and_listed_errors_are_raised_after_closing(self):
        for error, settings in ((InvokerRuntimeError("Invoker", "down"), {}),
                                (KeyError("listed"), {"raise_on_exceptions": (LookupError,)})):
            for engine in (Strict(error=error), Streaming(fails_after(1, 0, error))):
                source = Source(["a", "b"])
                items, raised = consume_until_error(GuardrailManager(engine, **settings), source)
                assert items == [] and raised is error and source.aclose_calls == 1
        assert isinstance(InvokerRuntimeError("I", "x"), BaseInvokerError)

    def test_stage_failing_when_called(self):
        class Broken(Streaming):
            def check_input_stream(self, chunks, **kwargs):
                raise RuntimeError("cannot start")

        manager = GuardrailManager([Broken(), Strict(unsafe_on="z")], error_conservative=False)
        assert texts(consume(manager, Source(list("abc")))) == list("abc")
        manager.error_conservative = True
        assert view(consume(manager, Source(list("abc")))) == [("", False, "Error checking content: cannot start")]

    def test_caller_iterator_failure_meets_the_policy(self):
        failure = ConnectionError("reset")
        source = Source(["a", "b"], fail_at=1, error=failure)
        assert view(consume(GuardrailManager(Streaming()), source)) == [
            ("a", True, None), ("", False, "Error checking content: reset")]
        source = Source(["a", "b"], fail_at=1, error=failure)
        assert view(consume(GuardrailManager(Strict()), source)) == [("", False, "Error checking content: reset")]

    def test_non_text_chunk_under_fail_open(self):
        failure = RuntimeError("x")
        manager = GuardrailManager(Streaming(fails_after(1, 0, failure)), error_conservative=False)
        source = Source(["a", "b", 3, "c"])
        items, error = consume_until_error(manager, source)
        assert texts(items) == ["a", "b"] and isinstance(error, GuardrailStreamValidationError)
        assert source.aclose_calls == 1

    def test_settings_are_read_at_the_failure(self):
        manager = GuardrailManager(Streaming(fails_after(2, 1, RuntimeError("late"))))

        def flip(position):
            if position == 2:
                manager.error_conservative = False

        assert texts(consume(manager, Source(list("abc"), on_read=flip))) == list("abc")

    def test_items_without_the_protocol_fields_are_stage_failures(self):
        async def odd(engine, chunks):
            async for chunk in chunks:
                yield {"chunk": chunk}

        assert view(consume(GuardrailManager(Streaming(odd)), Source(["a"])))[0][2].startswith(
            "Error checking content: ")

    def test_the_native_stream_logs_nothing(self, caplog):
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            consume(GuardrailManager(Strict(error=RuntimeError("e"))), Source(["a"]))
            consume(GuardrailManager(Streaming(fails_after(1, 0, RuntimeError("e"))), error_conservative=False),
                    Source(["a"]))
        assert caplog.records == []


class TestStageRunner:
    def test_fields(self):
        manager = GuardrailManager(Strict())
        stage, source = Streaming().check_input_stream, Source([])
        runner = _StageRunner(manager, stage, source)
        assert runner._manager is manager and runner._stage == stage and runner._source is source
        assert isinstance(runner._pending, deque) and not runner._pending
        assert runner._terminal_emitted is False and runner._enforce_pending_limit is False

        class Marked:
            is_incremental = "yes"

        assert _StageRunner(manager=manager, stage=Marked(), source=source)._enforce_pending_limit == "yes"
        with pytest.raises(TypeError):
            _StageRunner(manager, stage)

    def test_stage_output_is_read_as_async_for_reads_it(self):
        class Checked:  # an async iterable whose `__aiter__` gives the iterator
            def __init__(self, items):
                self.items = items

            def __aiter__(self):
                return self.items

        def iterable(engine, chunks):
            return Checked(block_on("bomb")(engine, chunks))

        for conservative in (True, False):
            manager = GuardrailManager(Streaming(iterable), error_conservative=conservative)
            assert view(consume(manager, Source(["make a ", "bomb"]))) == [
                ("make a ", True, None), ("", False, "blocked by stream")]

        async def python_message():
            try:
                async for _ in [safe("x")]:
                    pass
            except TypeError as error:
                return str(error)

        listing = GuardrailManager(Streaming(lambda engine, chunks: [safe("x")]))
        assert view(consume(listing, Source(["x"]))) == [
            ("", False, f"Error checking content: {asyncio.run(python_message())}")]

    def test_process_item(self):
        async def go():
            source = Source([])
            runner = _StageRunner(GuardrailManager(Strict()), None, source)
            runner._pending.extend(["x", "y"])
            assert await runner._process_item(safe("X")) is False and list(runner._pending) == ["y"]
            assert await runner._process_item(GuardrailStreamChunk(chunk="t", is_safe=False)) is False
            assert list(runner._pending) == ["y"] and source.aclose_calls == 0
            assert await runner._process_item(safe("")) is False and not runner._pending
            with pytest.raises(GuardrailStreamValidationError, match=NOT_ONE_TO_ONE):
                await runner._process_item(safe("z"))
            assert await runner._process_item(marker()) is True
            assert runner._terminal_emitted is True and source.aclose_calls == 1
            await _StageRunner(None, None, Unclosable([]))._close_source()

        asyncio.run(go())

    def test_when_runners_close_their_input(self, monkeypatch):
        closes = []
        original = _StageRunner._close_source

        def spy(self):
            closes.append(type(self._source).__name__)
            return original(self)

        monkeypatch.setattr(_StageRunner, "_close_source", spy)

        def count(engines, chunks=("a", "b"), **settings):
            closes.clear()
            consume_until_error(GuardrailManager(engines, **settings), Source(chunks))
            return list(closes)

        assert count([Strict()]) == []
        assert count([Strict(unsafe_on="a")]) == ["_ValidatedSource"]
        assert count([Strict(error=RuntimeError("x"))]) == ["_ValidatedSource"]
        assert count([Strict(error=RuntimeError("x"))], error_conservative=False) == []
        assert count([Streaming(), Streaming(block_on("a"))]) == ["async_generator"]
        # The runner after the blocking stage meets the signal through its input and closes that too.
        assert count([Streaming(), Streaming(block_on("a")), Streaming()]) == ["async_generator"] * 2
        assert count([Streaming(doubled)]) == ["_ValidatedSource"]

    def test_handle_error_directly(self):
        async def go():
            manager = GuardrailManager(Strict(), error_conservative=False)
            source = _ValidatedSource(Source(["c", "d"]))
            runner = _StageRunner(manager, None, source)
            runner._pending.extend(["a", "b"])
            items = [item async for item in runner._handle_error(RuntimeError("x"))]
            assert view(items) == [(c, True, None) for c in "abcd"] and not runner._pending
            assert not source._closed
            manager.error_conservative = True
            runner = _StageRunner(manager, None, _ValidatedSource(Source([])))
            runner._pending.append("a")
            assert view([item async for item in runner._handle_error(RuntimeError(""))]) == [
                ("", False, "Error checking content: ")]
            assert runner._source._closed and list(runner._pending) == ["a"]

        asyncio.run(go())
