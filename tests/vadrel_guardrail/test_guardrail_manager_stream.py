"""Stream checks of the guardrail manager: entry points, validated source, pipeline, stages, runner, chaining."""

import asyncio
import gc
import logging
import weakref
from collections import UserDict, deque

import pytest

from vadrel_guardrail import GuardrailManager, PhraseMatcherEngine
from vadrel_guardrail.constants import GuardrailMode
from vadrel_guardrail.engine.base_engine import (
    BaseGuardrailEngineConfig,
    GuardrailStreamBufferLimitError,
    GuardrailStreamValidationError,
)
from vadrel_guardrail.guardrail_manager import _StageRunner, _StreamPipeline, _StreamTerminated, _ValidatedSource
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk
from vadrel_inference.exceptions import BaseInvokerError, InvokerRuntimeError

INPUT, OUTPUT, BOTH, DISABLED = (GuardrailMode.INPUT_ONLY, GuardrailMode.OUTPUT_ONLY, GuardrailMode.BOTH,
                                 GuardrailMode.DISABLED)
LOGGER = "vadrel_guardrail.guardrail_manager"
NOT_ONE_TO_ONE = ("Streaming engine yielded a safe chunk without a corresponding source chunk. "
                  "The streaming protocol requires one-to-one output.")
UNACKNOWLEDGED = ("Streaming engine finished without acknowledging all source chunks. "
                  "The streaming protocol requires one-to-one output.")


def safe(chunk, reason=None):
    return GuardrailStreamChunk(chunk=chunk, is_safe=True, reason=reason)


def marker(reason=None):
    return GuardrailStreamChunk(chunk="", is_safe=False, reason=reason)


class Source:
    """The caller's chunk iterator: records `__aiter__` calls, reads and closes; may fail on one read."""

    def __init__(self, items, fail_at=None, error=None, close_error=None, on_read=None):
        self.items = list(items)
        self.position = 0
        self.fail_at = fail_at
        self.error = error
        self.close_error = close_error
        self.on_read = on_read
        self.aiter_calls = 0
        self.aclose_calls = 0
        self.closed = False

    def __aiter__(self):
        self.aiter_calls += 1
        return self

    async def __anext__(self):
        await asyncio.sleep(0)
        if self.closed:
            raise StopAsyncIteration
        if self.fail_at is not None and self.position == self.fail_at:
            self.fail_at = None
            raise self.error
        if self.position >= len(self.items):
            raise StopAsyncIteration
        item = self.items[self.position]
        self.position += 1
        if self.on_read:
            self.on_read(self.position)
        return item

    async def aclose(self):
        self.aclose_calls += 1
        self.closed = True
        await asyncio.sleep(0)
        if self.close_error is not None:
            raise self.close_error


class Unclosable:
    """An async iterator without `aclose`."""

    def __init__(self, items):
        self.items = iter(items)

    def __aiter__(self):
        return self

    async def __anext__(self):
        try:
            return next(self.items)
        except StopIteration:
            raise StopAsyncIteration from None


class Strict:
    """A complete-text engine: unsafe when the text contains `unsafe_on`, or answering `result`, or failing."""

    def __init__(self, mode=INPUT, unsafe_on=None, reason="blocked", error=None, result=None):
        self.config = BaseGuardrailEngineConfig(guardrail_mode=mode)
        self.unsafe_on = unsafe_on
        self.reason = reason
        self.error = error
        self.result = result
        self.calls = []

    async def check_input(self, content, **kwargs):
        return await self._check("input", content, kwargs)

    async def check_output(self, content, **kwargs):
        return await self._check("output", content, kwargs)

    async def _check(self, direction, content, kwargs):
        self.calls.append((direction, content, kwargs))
        await asyncio.sleep(0)
        if self.error is not None:
            raise self.error
        if self.result is not None:
            return self.result
        if self.unsafe_on is not None and self.unsafe_on in content:
            return GuardrailResult.unsafe(self.reason)
        return GuardrailResult.safe()


# Behaviours of streaming engines: async generator functions over (engine, chunks).

async def passthrough(engine, chunks):
    async for chunk in chunks:
        engine.seen.append(chunk)
        yield safe(chunk)


async def upper(engine, chunks):
    async for chunk in chunks:
        engine.seen.append(chunk)
        yield safe(chunk.upper())


def block_on(word, reason="blocked by stream"):
    async def behaviour(engine, chunks):
        async for chunk in chunks:
            engine.seen.append(chunk)
            if word in chunk:
                yield marker(reason)
                return
            yield safe(chunk)
    return behaviour


def read_ahead(n):
    """Reads `n` chunks before acknowledging them, batch after batch."""
    async def behaviour(engine, chunks):
        batch = []
        async for chunk in chunks:
            engine.seen.append(chunk)
            batch.append(chunk)
            if len(batch) == n:
                for held in batch:
                    yield safe(held)
                batch = []
        for held in batch:
            yield safe(held)
    return behaviour


async def doubled(engine, chunks):
    async for chunk in chunks:
        engine.seen.append(chunk)
        yield safe(chunk)
        yield safe(chunk)


async def text_bearing(engine, chunks):
    async for chunk in chunks:
        engine.seen.append(chunk)
        yield GuardrailStreamChunk(chunk=chunk, is_safe=False, reason="flagged")


def fails_after(read, acknowledged, error):
    async def behaviour(engine, chunks):
        async for chunk in chunks:
            engine.seen.append(chunk)
            if len(engine.seen) == read:
                break
        for chunk in engine.seen[:acknowledged]:
            yield safe(chunk)
        raise error
    return behaviour


def stop_after(n, acknowledged=None):
    async def behaviour(engine, chunks):
        async for chunk in chunks:
            engine.seen.append(chunk)
            if len(engine.seen) == n:
                break
        for chunk in engine.seen[: n if acknowledged is None else acknowledged]:
            yield safe(chunk)
    return behaviour


async def safe_first(engine, chunks):
    yield safe("out of nowhere")
    async for chunk in chunks:
        yield safe(chunk)


class Streaming(Strict):
    """A native streaming engine whose stream operations run `behaviour`."""

    def __init__(self, behaviour=passthrough, mode=INPUT, **kwargs):
        super().__init__(mode, **kwargs)
        self.behaviour = behaviour
        self.stream_calls = []
        self.seen = []

    def check_input_stream(self, chunks, **kwargs):
        self.stream_calls.append(("input", kwargs))
        return self.behaviour(self, chunks)

    def check_output_stream(self, chunks, **kwargs):
        self.stream_calls.append(("output", kwargs))
        return self.behaviour(self, chunks)


class FullStream(Streaming):
    requires_full_stream = True


def view(items):
    return [(item.chunk, item.is_safe, item.reason) for item in items]


def texts(items):
    return [item.chunk for item in items]


async def gather(stream):
    return [item async for item in stream]


def consume(manager, source, direction=INPUT, engine_kwargs=None):
    check = manager.check_input_stream if direction == INPUT else manager.check_output_stream
    return asyncio.run(gather(check(source, engine_kwargs)))


def consume_until_error(manager, source, direction=INPUT):
    """Items received before the stream failed, and the error."""
    received = []

    async def go():
        check = manager.check_input_stream if direction == INPUT else manager.check_output_stream
        try:
            async for item in check(source):
                received.append(item)
        except BaseException as error:  # noqa: BLE001 - the test inspects it
            return error
        return None

    return received, asyncio.run(go())


def pipeline_for(manager, chunks, direction=INPUT, engine_kwargs=None):
    return _StreamPipeline(manager=manager, chunks=chunks, direction=direction,
                           engine_kwargs={} if engine_kwargs is None else engine_kwargs)


# -------------------------------------------------------------------------------------------------------------


class TestEntryPoints:
    def test_calling_starts_nothing(self):
        engine = Strict()
        manager = GuardrailManager(engine)
        source = Source(["a"])
        stream = manager.check_input_stream(source)
        assert source.aiter_calls == 0 and source.position == 0 and engine.calls == []
        assert stream.__qualname__ == "GuardrailManager.check_input_stream"
        asyncio.run(stream.aclose())
        assert source.aiter_calls == 0 and source.aclose_calls == 0

    def test_chunks_without_async_iteration_fail_at_the_first_item(self):
        manager = GuardrailManager(Strict())
        stream = manager.check_input_stream(["a", "b"])
        with pytest.raises(AttributeError, match="__aiter__"):
            asyncio.run(gather(stream))

    def test_engine_kwargs(self, monkeypatch):
        engine = Strict()
        manager = GuardrailManager(engine)
        seen = []
        original = GuardrailManager._check_stream

        def spy(self, chunks, direction, engine_kwargs):
            seen.append((direction, engine_kwargs))
            return original(self, chunks, direction, engine_kwargs)

        monkeypatch.setattr(GuardrailManager, "_check_stream", spy)
        for given in (None, {}, 0):
            consume(manager, Source(["x"]), engine_kwargs=given)
        kwargs = {"trace": 1}
        consume(manager, Source(["y"]), OUTPUT, engine_kwargs=kwargs)
        assert [d for d, _ in seen] == [INPUT, INPUT, INPUT, OUTPUT]
        fresh = [k for _, k in seen[:3]]
        assert fresh == [{}, {}, {}] and fresh[0] is not fresh[1]
        assert seen[3][1] is kwargs
        assert engine.calls == [("input", "x", {})] * 3  # the output stream runs no INPUT_ONLY engine
        engine.config.guardrail_mode = BOTH
        consume(manager, Source(["z"]), OUTPUT, engine_kwargs=kwargs)
        assert engine.calls[-1] == ("output", "z", {"trace": 1})

    def test_check_stream_builds_the_pipeline_and_returns_run_unstarted(self):
        manager = GuardrailManager(Strict())
        source = Source(["a"])
        run = manager._check_stream(source, INPUT, {})
        assert source.aiter_calls == 1 and source.position == 0
        assert run.__qualname__ == "_StreamPipeline.run"
        assert view(asyncio.run(gather(run))) == [("a", True, None)]
        with pytest.raises(AttributeError):
            manager._check_stream(object(), INPUT, {})

    def test_entry_point_closes_the_stream_it_passes_on(self, monkeypatch):
        class Stream:
            def __init__(self, items, error=None):
                self.items, self.error, self.closes = list(items), error, 0

            def __aiter__(self):
                return self

            async def __anext__(self):
                if self.items:
                    return self.items.pop(0)
                if self.error:
                    raise self.error
                raise StopAsyncIteration

            async def aclose(self):
                self.closes += 1

        made = []

        def fake(self, chunks, direction, engine_kwargs):
            made.append(Stream([safe("a"), safe("b")], error=chunks))
            return made[-1]

        monkeypatch.setattr(GuardrailManager, "_check_stream", fake)
        manager = GuardrailManager(Strict())
        items, error = consume_until_error(manager, None)
        assert texts(items) == ["a", "b"] and error is None and made[-1].closes == 1
        failure = ValueError("late")
        items, error = consume_until_error(manager, failure)
        assert texts(items) == ["a", "b"] and error is failure and made[-1].closes == 1

        async def stop_early():
            stream = manager.check_input_stream(None)
            await stream.__anext__()
            await stream.aclose()

        asyncio.run(stop_early())
        assert made[-1].closes == 1
        # Replaced on one manager only.
        monkeypatch.undo()
        own = GuardrailManager(Strict())
        own._check_stream = lambda chunks, direction, engine_kwargs: fake(own, chunks, direction, engine_kwargs)
        items, error = consume_until_error(own, None)
        assert texts(items) == ["a", "b"] and error is None and made[-1].closes == 1
        assert texts(consume(GuardrailManager(Strict()), Source(["x"]))) == ["x"]

    def test_both_directions_and_modes(self):
        engines = {mode: Strict(mode, unsafe_on="bad", reason=f"{mode}") for mode in (INPUT, OUTPUT, BOTH, DISABLED)}
        manager = GuardrailManager(list(engines.values()))
        assert view(consume(manager, Source(["so ", "bad"]))) == [("", False, "input_only")]
        engines[INPUT].config.guardrail_mode = DISABLED
        assert view(consume(manager, Source(["so ", "bad"]))) == [("", False, "both")]
        assert view(consume(manager, Source(["so ", "bad"]), OUTPUT)) == [("", False, "output_only")]
        assert [len(engines[m].calls) for m in (INPUT, OUTPUT, BOTH, DISABLED)] == [1, 1, 1, 0]
        # Modes are compared as text.
        plain = Strict(unsafe_on="bad")
        plain.config.guardrail_mode = "both"
        assert view(consume(GuardrailManager(plain), Source(["bad"]), OUTPUT)) == [("", False, "blocked")]

    def test_default_configurations_pass_output_unchecked(self):
        engine = Strict(unsafe_on="bad")
        assert view(consume(GuardrailManager(engine), Source(["bad", "x"]), OUTPUT)) == [
            ("bad", True, None), ("x", True, None)]
        assert engine.calls == []

    def test_default_engine_failure_comes_at_the_first_item_after_closing(self):
        manager = GuardrailManager()

        def broken():
            raise RuntimeError("no credentials")

        manager._default_engine_factory = broken
        source = Source(["a"])
        stream = manager.check_input_stream(source)
        items, error = [], None
        with pytest.raises(RuntimeError, match="no credentials"):
            asyncio.run(gather(stream))
        assert source.aclose_calls == 1 and source.position == 0
        assert manager._engines is None


class TestValidatedSource:
    def test_construction(self):
        source = Source(["a"])
        validated = _ValidatedSource(source)
        assert source.aiter_calls == 1
        assert (validated._source, validated.any_chunk, validated._closed, validated._buffered_chunk,
                validated._has_buffer) == (source, False, False, None, False)
        assert validated.__aiter__() is validated
        with pytest.raises(AttributeError, match="__aiter__"):
            _ValidatedSource([1])
        with pytest.raises(TypeError):
            _ValidatedSource()

    def test_text_test(self):
        class Text(str):
            pass

        async def go():
            validated = _ValidatedSource(Source(["", Text("t"), 3]))
            assert await validated.__anext__() == "" and validated.any_chunk
            assert type(await validated.__anext__()) is Text
            with pytest.raises(GuardrailStreamValidationError) as info:
                await validated.__anext__()
            assert str(info.value) == "Stream chunks must be strings. Got: <class 'int'>"
            assert isinstance(info.value, ValueError)
            first_bytes = _ValidatedSource(Source([b"x"]))
            with pytest.raises(GuardrailStreamValidationError, match=r"Got: <class 'bytes'>$"):
                await first_bytes.peek()
            assert not first_bytes.any_chunk and not first_bytes._has_buffer

        asyncio.run(go())

    def test_look_ahead(self):
        async def go():
            source = Source(["a", "b"])
            validated = _ValidatedSource(source)
            assert [await validated.peek(), await validated.peek()] == ["a", "a"]
            assert source.position == 1 and validated._has_buffer and validated._buffered_chunk == "a"
            assert [await validated.__anext__(), await validated.__anext__()] == ["a", "b"]
            with pytest.raises(StopAsyncIteration):
                await validated.__anext__()
            with pytest.raises(StopAsyncIteration):
                await validated.peek()
            assert not validated._has_buffer

        asyncio.run(go())

    def test_a_failed_read_keeps_the_state_and_is_read_again(self):
        async def go():
            failure = OSError("network")
            validated = _ValidatedSource(Source(["a"], fail_at=0, error=failure))
            with pytest.raises(OSError) as info:
                await validated.peek()
            assert info.value is failure and not validated._has_buffer and not validated.any_chunk
            assert [chunk async for chunk in validated] == ["a"]

        asyncio.run(go())

    def test_close(self, caplog):
        async def go():
            source = Source(["a", "b"])
            validated = _ValidatedSource(source)
            await validated.peek()
            first = asyncio.ensure_future(validated.aclose())
            await asyncio.sleep(0)  # the first close is waiting on the caller's aclose
            assert validated._closed
            await validated.aclose()
            await first
            assert source.aclose_calls == 1
            assert (validated._has_buffer, validated._buffered_chunk) == (False, None)
            with pytest.raises(StopAsyncIteration):
                await validated.peek()
            with pytest.raises(StopAsyncIteration):
                await validated.__anext__()
            await _ValidatedSource(Unclosable(["a"])).aclose()

        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            asyncio.run(go())
        assert caplog.records == []

    def test_close_failure_is_logged_and_swallowed(self, caplog):
        async def go():
            validated = _ValidatedSource(Source(["a"], close_error=RuntimeError("stuck")))
            assert await validated.aclose() is None
            assert validated._closed

        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            asyncio.run(go())
        [record] = caplog.records
        assert (record.levelno, record.getMessage()) == (logging.DEBUG, "Error closing validated source: stuck")
        assert record.exc_info[1].args == ("stuck",)

        class Interrupt(BaseException):
            pass

        with pytest.raises(Interrupt):
            asyncio.run(_ValidatedSource(Source([], close_error=Interrupt())).aclose())

    def test_broken_look_ahead(self, monkeypatch):
        async def go():
            validated = _ValidatedSource(Source(["a"]))
            validated._has_buffer = True
            with pytest.raises(GuardrailStreamValidationError, match="^Buffered chunk missing when _has_buffer was set.$"):
                await validated.peek()
            with pytest.raises(GuardrailStreamValidationError, match="^Buffered chunk missing when _has_buffer was set.$"):
                await validated.__anext__()
            assert not validated._has_buffer
            assert await validated.__anext__() == "a"

            async def none_read(self):
                return None

            monkeypatch.setattr(_ValidatedSource, "_next", none_read)
            with pytest.raises(GuardrailStreamValidationError,
                               match="^Buffered chunk missing after reading from source.$"):
                await _ValidatedSource(Source(["b"])).peek()

        asyncio.run(go())


class TestPassThrough:
    def test_no_active_engine_passes_every_chunk_without_look_ahead(self, monkeypatch):
        calls = []
        original = _StreamPipeline._has_source_content
        monkeypatch.setattr(_StreamPipeline, "_has_source_content",
                            lambda self: calls.append(1) or original(self))
        engines = [Strict(DISABLED, unsafe_on="x"), Strict(OUTPUT, unsafe_on="x")]
        manager = GuardrailManager(engines)
        source = Source(["x", "", "y"])
        assert view(consume(manager, source)) == [("x", True, None), ("", True, None), ("y", True, None)]
        assert engines[0].calls == engines[1].calls == [] and calls == []
        assert source.aclose_calls == 1

    def test_empty_stream(self):
        manager = GuardrailManager(Strict(OUTPUT), empty_content_safe=False)
        assert view(consume(manager, Source([]))) == [("", False, "Empty content not allowed")]
        manager.empty_content_safe = True
        assert consume(manager, Source([])) == []
        manager.empty_content_safe = False
        assert view(consume(manager, Source(["", ""]))) == [("", True, None), ("", True, None)]

    def test_empty_content_safe_is_read_when_deciding(self):
        manager = GuardrailManager(Strict(OUTPUT), empty_content_safe=True)
        source = Source([], on_read=None)

        async def go():
            stream = manager.check_input_stream(source)
            manager.empty_content_safe = False
            return [item async for item in stream]

        assert view(asyncio.run(go())) == [("", False, "Empty content not allowed")]

    def test_errors_reach_the_caller_after_the_items_before_them(self):
        manager = GuardrailManager(Strict(OUTPUT))
        source = Source(["a", 7, "b"])
        items, error = consume_until_error(manager, source)
        assert texts(items) == ["a"] and isinstance(error, GuardrailStreamValidationError)
        assert source.aclose_calls == 1
        failure = ConnectionError("gone")
        source = Source(["a", "b"], fail_at=1, error=failure)
        items, error = consume_until_error(manager, source)
        assert texts(items) == ["a"] and error is failure and source.aclose_calls == 1


class TestEmptyContentWithEngines:
    def test_empty_stream_builds_no_stage(self, monkeypatch):
        built = []
        monkeypatch.setattr(_StreamPipeline, "_build_stages", lambda self, engines: built.append(engines))
        engine = Strict()
        manager = GuardrailManager(engine, empty_content_safe=False)
        assert view(consume(manager, Source([]))) == [("", False, "Empty content not allowed")]
        manager.empty_content_safe = True
        source = Source([])
        assert consume(manager, source) == [] and source.aclose_calls == 1
        assert built == [] and engine.calls == []

    def test_only_empty_chunks_reach_the_strict_segment(self):
        engine = Strict()
        manager = GuardrailManager(engine, empty_content_safe=False)
        source = Source(["", ""])
        assert view(consume(manager, source)) == [("", False, "Empty content not allowed")]
        assert source.aclose_calls == 1
        manager.empty_content_safe = True
        assert consume(manager, Source(["", ""])) == []
        assert engine.calls == []
        assert view(consume(manager, Source([" "]))) == [(" ", True, None)]
        assert engine.calls == [("input", " ", {})]

    def test_first_item_not_text(self, monkeypatch):
        built = []
        monkeypatch.setattr(_StreamPipeline, "_build_stages", lambda self, engines: built.append(engines))
        source = Source([b"x", "a"])
        items, error = consume_until_error(GuardrailManager(Strict()), source)
        assert items == [] and isinstance(error, GuardrailStreamValidationError)
        assert built == [] and source.aclose_calls == 1

    def test_caller_error_at_the_look_ahead_passes_unchanged(self):
        failure = KeyError("first")
        source = Source(["a"], fail_at=0, error=failure)
        items, error = consume_until_error(GuardrailManager(Strict()), source)
        assert items == [] and error is failure and source.aclose_calls == 1


class TestStageBuilding:
    def pipeline(self, engines, **settings):
        return pipeline_for(GuardrailManager(engines, **settings), Source([]))

    def test_pipeline_fields(self):
        manager = GuardrailManager(Strict())
        kwargs = {"k": 1}
        source = Source([])
        pipeline = _StreamPipeline(manager, source, OUTPUT, kwargs)
        assert pipeline._manager is manager and pipeline._engine_kwargs is kwargs and pipeline._direction is OUTPUT
        assert isinstance(pipeline._source, _ValidatedSource) and pipeline._source._source is source
        with pytest.raises(TypeError):
            _StreamPipeline(manager, source, OUTPUT)

    def test_active_engines(self):
        engines = [Strict(BOTH), Strict(INPUT), Strict(DISABLED), Strict(OUTPUT)]
        manager = GuardrailManager(engines)
        assert pipeline_for(manager, Source([]))._active_engines() == [engines[0], engines[1]]
        assert pipeline_for(manager, Source([]), OUTPUT)._active_engines() == [engines[0], engines[3]]

    def test_coalescing_and_order(self):
        s1, s2, i1, s3, i2, i3 = Strict(), Strict(), Streaming(), Strict(), Streaming(), Streaming()
        pipeline = self.pipeline([s1])
        stages = pipeline._build_stages([s1, s2, i1, s3, i2, i3])
        assert len(stages) == 5
        assert [getattr(stage, "is_incremental", False) for stage in stages] == [False, True, False, True, True]
        assert not hasattr(stages[0], "is_incremental")
        assert stages[0].engines == [s1, s2] and stages[2].engines == [s3]
        assert [stages[i].streaming_engine for i in (1, 3, 4)] == [i1, i2, i3]
        assert pipeline._build_stages([]) == []
        assert len(pipeline._build_stages([Strict(), Strict(), FullStream()])) == 1

    def test_strictness_rules(self):
        pipeline = self.pipeline([Strict()])

        def kinds(*flags):
            engines = []
            for flag in flags:
                engine = Streaming()
                engine.requires_full_stream = flag
                engines.append(engine)
            return [getattr(stage, "is_incremental", False) for stage in pipeline._build_stages(engines)]

        for value in (True, 1, "yes"):
            assert kinds(value) == [False]
        for value in (False, 0, "", None):
            assert kinds(value) == [True]
        # An engine without stream operations is strict whatever it declares.
        plain = Strict()
        plain.requires_full_stream = False
        assert [getattr(stage, "is_incremental", False) for stage in pipeline._build_stages([plain])] == [False]

    def test_settings_are_read_when_a_stage_is_made(self):
        manager = GuardrailManager(Strict(), max_stream_buffer_bytes=10, max_stream_buffer_chunks=3)
        pipeline = pipeline_for(manager, Source([]), OUTPUT, {"k": 1})
        stage = pipeline._make_strict_segment_stage([manager.engines[0]])
        manager.max_stream_buffer_bytes = 99
        assert (stage.max_bytes, stage.max_chunks, stage.kwargs, stage.direction) == (10, 3, {"k": 1}, OUTPUT)
        assert stage.kwargs is pipeline._engine_kwargs

    def test_incremental_stage_returns_the_engines_stream_as_it_is(self):
        returned = object()

        class Engine(Streaming):
            def check_output_stream(self, chunks, **kwargs):
                self.stream_calls.append((chunks, kwargs))
                return returned

        engine = Engine()
        pipeline = pipeline_for(GuardrailManager(engine), Source([]), OUTPUT, {"k": 2})
        stage = pipeline._make_incremental_stage(engine)
        feed = object()
        assert stage(feed) is returned and engine.stream_calls == [(feed, {"k": 2})]

    def test_empty_content_marker_is_new_each_time(self):
        first, second = _StreamPipeline._empty_content_marker(), _StreamPipeline._empty_content_marker()
        assert view([first]) == [("", False, "Empty content not allowed")] and first is not second
        assert first.model_fields_set == {"chunk", "is_safe", "reason"}


class TestStrictSegments:
    def test_release_and_block(self):
        engine = Strict(unsafe_on="bomb", reason="no bombs")
        manager = GuardrailManager(engine)
        assert view(consume(manager, Source(["", "a", ""]))) == [("", True, None), ("a", True, None), ("", True, None)]
        assert engine.calls[-1] == ("input", "a", {})
        source = Source(["make a ", "bo", "mb now"])
        assert view(consume(manager, source)) == [("", False, "no bombs")]
        assert engine.calls[-1][1] == "make a bomb now" and source.aclose_calls == 1

    def test_first_unsafe_engine_of_a_segment_decides(self):
        a, b, c = Strict(), Strict(unsafe_on="x", reason="B"), Strict(unsafe_on="x", reason="C")
        source = Source(["x", "y"])
        assert view(consume(GuardrailManager([a, b, c]), source)) == [("", False, "B")]
        assert a.calls == b.calls == [("input", "xy", {})] and c.calls == []
        assert source.position == 2

    def test_unsafe_without_reason_and_filtered_content(self):
        blocked = Strict(result=GuardrailResult(is_safe=False))
        assert view(consume(GuardrailManager(blocked), Source(["a"]))) == [("", False, None)]
        filtering = Strict(result=GuardrailResult.safe(filtered_content="***"))
        assert texts(consume(GuardrailManager(filtering), Source(["a", "b"]))) == ["a", "b"]

    def test_engine_kwargs_reach_each_check(self):
        a, b = Strict(mode=BOTH), Strict(mode=BOTH)
        consume(GuardrailManager([a, b]), Source(["t"]), OUTPUT, engine_kwargs={"user": "u"})
        assert a.calls == b.calls == [("output", "t", {"user": "u"})]
        items = consume(GuardrailManager(a), Source(["t"]), engine_kwargs={"content": "twice"})
        [(chunk, is_safe, reason)] = view(items)
        assert (chunk, is_safe) == ("", False)
        assert reason.startswith("Error checking content: ") and "multiple values for keyword argument 'content'" in reason

    def test_engine_kwargs_from_any_mapping(self):
        engine = Strict(unsafe_on="bomb", reason="B")
        manager = GuardrailManager(engine, error_conservative=False)
        assert view(consume(manager, Source(["make a ", "bomb"]), engine_kwargs=UserDict(user="u"))) == [("", False, "B")]
        assert engine.calls == [("input", "make a bomb", {"user": "u"})]

    def test_byte_and_chunk_caps(self):
        engine = Strict()
        manager = GuardrailManager(engine, max_stream_buffer_bytes=5, max_stream_buffer_chunks=2)
        assert view(consume(manager, Source(["abc", "é"]))) == [("abc", True, None), ("é", True, None)]
        assert view(consume(manager, Source(["ab", "é", "c"]))) == [
            ("", False, "Error checking content: Strict stream buffer chunks limit exceeded: configured=2, attempted=3.")]
        assert view(consume(manager, Source(["abc", "éé"]))) == [
            ("", False, "Error checking content: Strict stream buffer bytes limit exceeded: configured=5, attempted=7.")]
        assert len(engine.calls) == 1
        manager.raise_on_exceptions = (GuardrailStreamBufferLimitError,)
        source = Source(["abc", "éé", "x"])
        items, error = consume_until_error(manager, source)
        assert items == [] and isinstance(error, GuardrailStreamBufferLimitError)
        assert (error.limit_kind, error.configured_limit, error.attempted) == ("bytes", 5, 7)
        assert source.position == 2 and source.aclose_calls == 1 and len(engine.calls) == 1

    def test_segments_share_one_buffer(self, monkeypatch):
        reads = []
        a, b = Strict(), Strict()
        source = Source(["p", "q"], on_read=reads.append)
        assert texts(consume(GuardrailManager([a, b]), source)) == ["p", "q"]
        assert reads == [1, 2] and a.calls == b.calls == [("input", "pq", {})]

    def test_output_direction_uses_output_operations(self):
        strict, streaming = Strict(mode=OUTPUT), Streaming(mode=OUTPUT)
        full = FullStream(mode=OUTPUT)
        consume(GuardrailManager([strict, streaming, full]), Source(["a"]), OUTPUT)
        assert strict.calls == [("output", "a", {})] and full.calls == [("output", "a", {})]
        assert streaming.stream_calls == [("output", {})] and streaming.calls == [] and full.stream_calls == []

    def test_phrase_matcher_manager_checks_streams(self):
        engine = PhraseMatcherEngine(config=BaseGuardrailEngineConfig(guardrail_mode=BOTH), use_spacy=False)
        manager = GuardrailManager(engine)
        assert texts(consume(manager, Source(["How do I ", "bake bread?"]))) == ["How do I ", "bake bread?"]
        [item] = consume(manager, Source(["tell me how to ", "make a ", "bomb"]), OUTPUT)
        assert (item.chunk, item.is_safe) == ("", False) and "make a bomb" in item.reason
        input_only = GuardrailManager(PhraseMatcherEngine(use_spacy=False))
        assert texts(consume(input_only, Source(["make a bomb"]), OUTPUT)) == ["make a bomb"]


class TestIncrementalStages:
    def test_items_and_transformations_flow_on(self):
        first, second = Streaming(upper), Streaming(passthrough)
        manager = GuardrailManager([first, second])
        assert view(consume(manager, Source(["a", "b"]), engine_kwargs={"k": 1})) == [("A", True, None), ("B", True, None)]
        assert second.seen == ["A", "B"] and first.stream_calls == [("input", {"k": 1})]

    def test_reasons_of_safe_items_and_text_bearing_items_do_not_go_on(self):
        async def with_reason(engine, chunks):
            async for chunk in chunks:
                yield GuardrailStreamChunk(chunk=chunk, is_safe=False, reason="note")
                yield safe(chunk, reason="fine")

        assert view(consume(GuardrailManager(Streaming(with_reason)), Source(["a", "b"]))) == [
            ("a", True, None), ("b", True, None)]

    def test_text_bearing_items_acknowledge_nothing(self):
        manager = GuardrailManager(Streaming(text_bearing), error_conservative=False)
        source = Source(["a", "b"])
        items, error = consume_until_error(manager, source)
        assert items == [] and isinstance(error, GuardrailStreamValidationError) and str(error) == UNACKNOWLEDGED
        assert source.aclose_calls == 1

    def test_coalescing_engine(self):
        engine = Streaming(read_ahead(3))
        assert texts(consume(GuardrailManager(engine), Source(list("abcdefg")))) == list("abcdefg")

    def test_protocol_breaches_end_the_stream_whatever_the_policy(self):
        for conservative in (True, False):
            manager = GuardrailManager(Streaming(doubled), error_conservative=conservative)
            source = Source(["a", "b"])
            items, error = consume_until_error(manager, source)
            assert texts(items) == ["a"] and str(error) == NOT_ONE_TO_ONE and source.aclose_calls == 1
            source = Source(["a"])
            items, error = consume_until_error(GuardrailManager(Streaming(safe_first),
                                                                error_conservative=conservative), source)
            assert items == [] and str(error) == NOT_ONE_TO_ONE
            assert source.position == 1 and source.aclose_calls == 1  # the look-ahead only

    def test_stage_that_stops_early(self):
        source = Source(list("abcde"))
        items, error = consume_until_error(GuardrailManager(Streaming(stop_after(3, acknowledged=2))), source)
        assert texts(items) == ["a", "b"] and str(error) == UNACKNOWLEDGED and source.aclose_calls == 1
        source = Source(list("abcde"))
        items, error = consume_until_error(GuardrailManager(Streaming(stop_after(3))), source)
        assert view(items) == [("a", True, None), ("b", True, None), ("c", True, None)] and error is None
        assert source.position == 3 and source.aclose_calls == 1

    def test_look_ahead_cap(self):
        chunks = list("abcdefg")
        manager = GuardrailManager(Streaming(read_ahead(3)), max_stream_buffer_chunks=3)
        assert texts(consume(manager, Source(chunks))) == chunks
        manager = GuardrailManager(Streaming(read_ahead(4)), max_stream_buffer_chunks=3)
        assert view(consume(manager, Source(chunks))) == [
            ("", False, "Error checking content: Strict stream buffer chunks limit exceeded: configured=3, attempted=4.")]
        manager.error_conservative = False
        assert texts(consume(manager, Source(chunks))) == chunks
        manager.raise_on_exceptions = (GuardrailStreamBufferLimitError,)
        items, error = consume_until_error(manager, Source(chunks))
        assert items == [] and (error.limit_kind, error.configured_limit, error.attempted) == ("chunks", 3, 4)

    def test_default_look_ahead_cap(self):
        engine = Streaming(read_ahead(10_001))
        [item] = consume(GuardrailManager(engine), Source(["x"] * 10_001))
        assert item.reason == ("Error checking content: Strict stream buffer chunks limit exceeded: "
                               "configured=10000, attempted=10001.")

    def test_cap_is_read_at_every_chunk_and_spares_strict_segments(self):
        def run(engine):
            manager = GuardrailManager(engine)

            def lower(position):
                if position == 2:  # after the look-ahead, once the stages are made
                    manager.max_stream_buffer_chunks = 2

            return view(consume(manager, Source(list("abcde"), on_read=lower)))

        assert [chunk for chunk, _, _ in run(Strict())] == list("abcde")
        assert run(Streaming(read_ahead(5))) == [
            ("", False, "Error checking content: Strict stream buffer chunks limit exceeded: configured=2, attempted=3.")]


class TestChaining:
    def test_terminal_marker_of_a_middle_stage(self):
        first, second, third = Streaming(passthrough), Streaming(block_on("c", "stop")), Streaming(passthrough)
        source = Source(list("abcde"))
        received = []

        async def go():
            async for item in GuardrailManager([first, second, third]).check_input_stream(source):
                received.append((item, source.aclose_calls))

        asyncio.run(go())
        assert view([item for item, _ in received]) == [("a", True, None), ("b", True, None), ("", False, "stop")]
        assert third.seen == ["a", "b"] and first.seen == list("abc") and source.position == 3
        assert source.aclose_calls == 1

    def test_terminal_marker_of_the_first_stage_closes_the_caller_first(self):
        for engine in (Streaming(block_on("b")), Strict(unsafe_on="b")):
            source = Source(list("abc"))
            closes_seen = []

            async def go():
                async for item in GuardrailManager([engine, Streaming()]).check_input_stream(source):
                    closes_seen.append((item.is_safe, source.aclose_calls))

            asyncio.run(go())
            assert closes_seen[-1] == (False, 1) and source.aclose_calls == 1

    def test_mixed_chain(self):
        s1, i1, s2 = Strict(unsafe_on="X"), Streaming(upper), Strict(unsafe_on="B", reason="big b")
        manager = GuardrailManager([s1, i1, s2])
        assert view(consume(manager, Source(["a", "c"]))) == [("A", True, None), ("C", True, None)]
        assert s2.calls[-1] == ("input", "AC", {})
        assert view(consume(manager, Source(["a", "b"]))) == [("", False, "big b")]
        assert s1.calls[-1] == ("input", "ab", {})

    def test_a_strict_stage_after_an_incremental_one_sees_only_what_passed(self):
        blocker, strict = Streaming(block_on("b")), Strict()
        assert view(consume(GuardrailManager([blocker, strict]), Source(["a", "b", "c"]))) == [
            ("", False, "blocked by stream")]
        assert strict.calls == []

    def test_validation_error_of_a_middle_runner_reaches_the_caller_under_fail_open(self):
        first, second, third = Streaming(), Streaming(doubled), Streaming()
        manager = GuardrailManager([first, second, third], error_conservative=False)
        source = Source(list("abc"))
        items, error = consume_until_error(manager, source)
        assert texts(items) == ["a"] and str(error) == NOT_ONE_TO_ONE and source.aclose_calls == 1

    def test_consumer_stopping_early_reads_no_more(self):
        first, second = Streaming(), Streaming()
        source = Source(list("abcd"))

        async def go():
            stream = GuardrailManager([first, second]).check_input_stream(source)
            item = await stream.__anext__()
            await stream.aclose()
            return item

        assert asyncio.run(go()).chunk == "a"
        assert source.position == 1 and first.seen == ["a"] and second.seen == ["a"] and source.aclose_calls == 1

    def test_run_stages_over_an_empty_stage_list(self):
        async def go():
            pipeline = pipeline_for(GuardrailManager(Strict()), Source(["a", "b"]))
            return [item async for item in pipeline._run_stages(pipeline._source, [], 0)]

        assert view(asyncio.run(go())) == [("a", True, None), ("b", True, None)]

    def test_empty_joined_text_of_a_later_strict_segment(self):
        async def blank(engine, chunks):
            async for chunk in chunks:
                yield safe("")

        strict = Strict()
        manager = GuardrailManager([Streaming(blank), strict], empty_content_safe=False)
        source = Source(["a", "b"])
        assert view(consume(manager, source)) == [("", False, "Empty content not allowed")]
        assert source.aclose_calls == 1
        manager.empty_content_safe = True
        assert consume(manager, Source(["a", "b"])) == [] and strict.calls == []

    def test_concurrent_streams_share_only_the_manager(self):
        manager = GuardrailManager([Streaming(upper), Strict(unsafe_on="X")])

        async def go():
            first = gather(manager.check_input_stream(Source(["a", "b", "c"])))
            second = gather(manager.check_input_stream(Source(["x", "y"])))
            return await asyncio.gather(first, second)

        first, second = asyncio.run(go())
        assert texts(first) == ["A", "B", "C"] and view(second) == [("", False, "blocked")]

    def test_nothing_after_the_terminal_marker(self):
        async def go():
            stream = GuardrailManager(Strict(unsafe_on="a")).check_input_stream(Source(["a"]))
            item = await stream.__anext__()
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()
            with pytest.raises(StopAsyncIteration):
                await stream.__anext__()
            return item

        assert view([asyncio.run(go())]) == [("", False, "blocked")]


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

    def test_the_stream_road_logs_nothing(self, caplog):
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


class TestClosingAndCancellation:
    def test_caller_iterator_is_closed_exactly_once(self):
        cases = [
            ([], ["a", "b"]),
            ([Strict()], ["a", "b"]),
            ([Strict(unsafe_on="a")], ["a", "b"]),
            ([Streaming(), Streaming(block_on("b"))], ["a", "b", "c"]),
            ([Streaming(doubled)], ["a", "b"]),
            ([Strict(error=InvokerRuntimeError("I", "down"))], ["a"]),
            ([Streaming(), Strict(error=RuntimeError("x"))], ["a"]),
        ]
        for engines, chunks in cases:
            source = Source(chunks)
            consume_until_error(GuardrailManager(engines) if engines else GuardrailManager(Strict(OUTPUT)), source)
            assert source.aclose_calls == 1, engines
            for stop_after_items in (0, 1):
                source = Source(chunks)

                async def stop_early():
                    stream = GuardrailManager(engines or Strict(OUTPUT)).check_input_stream(source)
                    for _ in range(stop_after_items):
                        try:
                            await stream.__anext__()
                        except BaseException:  # noqa: BLE001
                            break
                    await stream.aclose()

                asyncio.run(stop_early())
                assert source.aclose_calls == (1 if stop_after_items else 0), (engines, stop_after_items)

    def test_iterators_without_aclose_and_failing_aclose(self, caplog):
        assert texts(consume(GuardrailManager(Strict()), Unclosable(["a", "b"]))) == ["a", "b"]
        source = Source(["a", "b"], close_error=RuntimeError("close failed"))
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert texts(consume(GuardrailManager(Streaming()), source)) == ["a", "b"]
            failure = ValueError("engine")
            source = Source(["a"], close_error=RuntimeError("close failed"))
            items, error = consume_until_error(
                GuardrailManager(Strict(error=failure), raise_on_exceptions=(ValueError,)), source)
        assert items == [] and error is failure
        assert [r.getMessage() for r in caplog.records] == ["Error closing validated source: close failed"] * 2

    def test_cancellation_while_an_engine_waits(self):
        gate = asyncio.Event

        async def waits(engine, chunks):
            async for chunk in chunks:
                yield safe(chunk)
                await engine.gate.wait()

        for first in (Streaming(waits), Strict()):
            engine = Streaming(waits)
            source = Source(["a", "b", "c"])
            received = []

            async def go():
                engine.gate = gate()

                async def consumer():
                    async for item in GuardrailManager([first, engine]).check_input_stream(source):
                        received.append(item)

                if isinstance(first, Streaming):
                    first.gate = gate()
                    first.gate.set()
                task = asyncio.ensure_future(consumer())
                for _ in range(20):
                    await asyncio.sleep(0)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task

            asyncio.run(go())
            assert texts(received) == ["a"] and source.aclose_calls == 1

    def test_cancellation_while_the_caller_waits(self):
        class Slow(Source):
            async def __anext__(self):
                if self.position == 1:
                    await asyncio.Event().wait()
                return await super().__anext__()

        for engines in ([Streaming()], [Strict(OUTPUT)]):
            source = Slow(["a", "b"])
            received = []

            async def go():
                async def consumer():
                    async for item in GuardrailManager(engines).check_input_stream(source):
                        received.append(item)

                task = asyncio.ensure_future(consumer())
                for _ in range(20):
                    await asyncio.sleep(0)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task

            asyncio.run(go())
            assert texts(received) == ["a"] and source.aclose_calls == 1

    def test_nothing_is_kept_alive(self):
        class Keeper(Streaming):
            def check_input_stream(self, chunks, **kwargs):
                self.kept = chunks  # a reference cycle through the stage's feed
                return super().check_input_stream(chunks, **kwargs)

        engine, source = Keeper(), Source(["a", "b"])
        manager = GuardrailManager([Strict(), engine])
        assert texts(consume(manager, source)) == ["a", "b"]
        refs = [weakref.ref(o) for o in (engine, source, manager)]
        del engine, source, manager
        gc.collect()
        assert [ref() for ref in refs] == [None, None, None]

    def test_acknowledged_chunks_are_released(self):
        class Text(str):
            pass

        async def forgetful(engine, chunks):
            async for chunk in chunks:
                yield safe(chunk)

        chunks = [Text(f"chunk {i}") for i in range(3)]
        refs = [weakref.ref(chunk) for chunk in chunks]
        manager = GuardrailManager(Streaming(forgetful))
        assert texts(consume(manager, Unclosable(chunks))) == ["chunk 0", "chunk 1", "chunk 2"]
        del chunks
        gc.collect()
        assert [ref() for ref in refs] == [None, None, None]
