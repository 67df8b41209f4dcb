"""Stream checks through the manager's entry points and the pipeline: the engines that apply, the empty-content rule, stage building, chaining, closing and cancellation."""

import asyncio
import gc
import logging
import os
import sys
import weakref

import pytest

from vadrel_guardrail import GuardrailManager
from vadrel_guardrail.engine.base_engine import GuardrailStreamValidationError
from vadrel_guardrail.guardrail_manager import _StreamPipeline, _ValidatedSource
from vadrel_inference.exceptions import InvokerRuntimeError

sys.path.insert(0, os.path.dirname(__file__))  # the shared doubles beside this file
from stream_doubles import (  # noqa: E402
    BOTH,
    DISABLED,
    FullStream,
    INPUT,
    LOGGER,
    NOT_ONE_TO_ONE,
    OUTPUT,
    Source,
    Streaming,
    Strict,
    Unclosable,
    block_on,
    consume,
    consume_until_error,
    doubled,
    gather,
    passthrough,
    pipeline_for,
    safe,
    texts,
    upper,
    view,
)

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


class TestChaining:
    def test_items_the_engine_still_reaches_are_not_handed_on(self):
        kept, weak = [], []

        def made(chunk):
            item = safe(chunk)
            weak.append(weakref.ref(item))
            return item

        async def keeping(engine, chunks):
            async for chunk in chunks:
                kept.append(safe(chunk))
                yield kept[-1]

        async def weakly(engine, chunks):
            async for chunk in chunks:
                yield made(chunk)

        for behaviour, reached in ((keeping, lambda: kept), (weakly, lambda: [ref() for ref in weak])):
            received = consume(GuardrailManager(Streaming(behaviour)), Source(["a", "b"]))
            assert view(received) == [("a", True, None), ("b", True, None)]
            assert not any(item is own for item in received for own in reached())

    def test_items_the_consumer_still_reaches_never_change(self):
        # Whatever of an item the consumer keeps (the item, its dict, its fields set), or changes before it
        # lets the item go, later items leave alone; every item arrives as a new one would.
        chunks = list("abcdefghijkl")
        kept, received = [], []

        def keep(item):
            fields, fields_set = item.__dict__, item.__pydantic_fields_set__
            shape = (item.chunk, item.is_safe, item.reason, list(fields.items()), set(fields_set))
            received.append(shape)
            step = len(received) % 5
            if step == 0:
                kept.append((item, shape, lambda item: (item.chunk, item.is_safe, item.reason)))
            elif step == 1:
                kept.append((fields, dict(fields), dict))
            elif step == 2:
                kept.append((fields_set, set(fields_set), set))
            elif step == 3:
                item.is_safe = False
            else:
                item.reason = "changed"

        async def go():
            async for item in GuardrailManager([Streaming(), Streaming()]).check_input_stream(Source(chunks)):
                keep(item)

        asyncio.run(go())
        assert received == [
            (c, True, None, [("chunk", c), ("is_safe", True), ("reason", None)], {"chunk", "is_safe"}) for c in chunks]
        for held, then, now in kept:
            assert now(held) == (then[:3] if isinstance(then, tuple) else then)

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

    def test_run_stages_is_what_the_run_reads(self):
        async def go(manager, chunks):
            pipeline = pipeline_for(manager, Source(chunks))
            stages = pipeline._build_stages(pipeline._active_engines())
            return [item async for item in pipeline._run_stages(pipeline._source, stages, 0)]

        for engines in ([Streaming(upper)], [Strict()], [Strict(), Streaming(upper)], [Streaming(upper), Strict()]):
            manager = GuardrailManager(engines)
            assert view(asyncio.run(go(manager, ["a", "b"]))) == view(consume(manager, Source(["a", "b"])))
        with pytest.raises(Exception) as caught:
            asyncio.run(go(GuardrailManager([Streaming(upper), Strict(unsafe_on="A")]), ["a", "b"]))
        assert type(caught.value).__name__ == "_StreamTerminated" and caught.value.terminal.reason == "blocked"

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


async def cancel_while_consuming(stream, received):
    """Consumes `stream` into `received` in a task, cancels the task once it waits, and expects the cancellation."""
    async def consumer():
        async for item in stream:
            received.append(item)

    task = asyncio.ensure_future(consumer())
    for _ in range(20):
        await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


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
                if isinstance(first, Streaming):
                    first.gate = gate()
                    first.gate.set()
                await cancel_while_consuming(GuardrailManager([first, engine]).check_input_stream(source), received)

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
                await cancel_while_consuming(GuardrailManager(engines).check_input_stream(source), received)

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
