import asyncio

import pytest

from vadrel_guardrail.engine.base_engine import (
    FullStreamGuardrailAdapter,
    GuardrailStreamBufferLimitError,
    _buffer_source,
)
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk


class Source:
    """An async iterator that records what was asked of it."""

    def __init__(self, items, fail_at=None):
        self.items = list(items)
        self.reads = 0
        self.aiter_calls = 0
        self.closed = False
        self.fail_at = fail_at

    def __aiter__(self):
        self.aiter_calls += 1
        return self

    async def __anext__(self):
        if self.fail_at is not None and self.reads == self.fail_at:
            raise RuntimeError("source failed")
        if self.reads >= len(self.items):
            raise StopAsyncIteration
        self.reads += 1
        await asyncio.sleep(0)
        return self.items[self.reads - 1]

    async def aclose(self):
        self.closed = True


class Engine:
    def __init__(self, result=None):
        self.result = result if result is not None else GuardrailResult.safe()
        self.calls = []

    async def check_input(self, content, **kwargs):
        self.calls.append(("input", content, kwargs))
        return self.result

    async def check_output(self, content, **kwargs):
        self.calls.append(("output", content, kwargs))
        return self.result


def run(coro):
    return asyncio.run(coro)


async def collect(stream):
    return [item async for item in stream]


class TestBufferSource:
    def test_exact_cap_is_kept_one_over_fails(self):
        source = Source(["ab", "cd", "e"])
        with pytest.raises(GuardrailStreamBufferLimitError) as info:
            run(_buffer_source(source, 4, 10))
        assert (info.value.limit_kind, info.value.configured_limit, info.value.attempted) == ("bytes", 4, 5)
        assert source.reads == 3 and not source.closed
        assert run(_buffer_source(Source(["ab", "cd"]), 4, 10)) == ["ab", "cd"]

    def test_chunk_cap(self):
        source = Source(["a", "b", "c", "d"])
        with pytest.raises(GuardrailStreamBufferLimitError) as info:
            run(_buffer_source(source, 100, 2))
        assert (info.value.limit_kind, info.value.configured_limit, info.value.attempted) == ("chunks", 2, 3)
        assert source.reads == 3  # the rest stays unread
        assert str(info.value) == "Strict stream buffer chunks limit exceeded: configured=2, attempted=3."

    def test_bytes_are_utf8_and_tested_first(self):
        with pytest.raises(GuardrailStreamBufferLimitError) as info:
            run(_buffer_source(Source(["ab", "€€"]), 5, 10))
        assert info.value.attempted == 8
        with pytest.raises(GuardrailStreamBufferLimitError) as info:
            run(_buffer_source(Source(["abc"]), 2, 0))
        assert info.value.limit_kind == "bytes"
        for text in ("é", "Ω", "中", "😀", "aé中😀", "\x7f\x80", "\u07ff\u0800\uffff\U00010000"):
            with pytest.raises(GuardrailStreamBufferLimitError) as info:
                run(_buffer_source(Source([text]), 0, 10))
            assert info.value.attempted == len(text.encode())

    def test_empty_chunks_count_as_chunks_only(self):
        assert run(_buffer_source(Source(["", "", ""]), 0, 3)) == ["", "", ""]
        with pytest.raises(GuardrailStreamBufferLimitError) as info:
            run(_buffer_source(Source(["", "x"]), 0, 5))
        assert (info.value.limit_kind, info.value.attempted) == ("bytes", 1)
        with pytest.raises(GuardrailStreamBufferLimitError) as info:
            run(_buffer_source(Source([""]), 0, 0))
        assert info.value.limit_kind == "chunks"

    def test_empty_source_needs_no_comparable_cap(self):
        assert run(_buffer_source(Source([]), "not a number", None)) == []
        with pytest.raises(TypeError):
            run(_buffer_source(Source(["a"]), "not a number", 1))

    def test_big_and_odd_caps(self):
        assert run(_buffer_source(Source(["abc"]), 10**30, 10**30)) == ["abc"]
        assert run(_buffer_source(Source(["abc"]), 3.5, 1.0)) == ["abc"]

    def test_keeps_the_callers_objects_and_never_closes(self):
        chunk = "".join(["x", "y"])
        source = Source([chunk])
        out = run(_buffer_source(source, 10, 10))
        assert out[0] is chunk and source.aiter_calls == 1 and not source.closed

    def test_encoding_failures(self):
        with pytest.raises(UnicodeEncodeError):
            run(_buffer_source(Source(["ok", "\ud800"]), 100, 100))
        with pytest.raises(AttributeError):
            run(_buffer_source(Source([3]), 100, 100))
        with pytest.raises(AttributeError):
            run(_buffer_source(Source([b"bytes"]), 100, 100))

        class Text(str):
            def encode(self, *args):
                return b"four"

        assert run(_buffer_source(Source([Text("a")]), 4, 1)) == ["a"]

    def test_source_errors(self):
        with pytest.raises(RuntimeError, match="source failed"):
            run(_buffer_source(Source(["a", "b"], fail_at=1), 10, 10))
        with pytest.raises(TypeError):
            run(_buffer_source(["a", "b"], 10, 10))

    def test_python_async_generator_source(self):
        async def gen():
            for i in range(3):
                await asyncio.sleep(0)
                yield str(i)

        assert run(_buffer_source(gen(), 10, 10)) == ["0", "1", "2"]


class TestAdapter:
    def test_safe_stream_releases_chunks_unchanged(self):
        engine = Engine(GuardrailResult.safe(filtered_content="other"))
        items = run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(Source(["a", "", "c"]))))
        assert items == [GuardrailStreamChunk(chunk=c, is_safe=True) for c in ("a", "", "c")]
        assert all(item.reason is None for item in items)
        assert engine.calls == [("input", "ac", {})]

    def test_unsafe_stream_yields_one_marker(self):
        engine = Engine(GuardrailResult.unsafe("nope"))
        items = run(collect(FullStreamGuardrailAdapter(engine).check_output_stream(Source(["a", "b"]))))
        assert items == [GuardrailStreamChunk(chunk="", is_safe=False, reason="nope")]
        assert engine.calls[0][0] == "output"
        engine.result = GuardrailResult.unsafe(None)
        items = run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(Source(["a"]))))
        assert items == [GuardrailStreamChunk(chunk="", is_safe=False, reason=None)]

    def test_empty_stream_checks_empty_text_once(self):
        engine = Engine()
        assert run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(Source([])))) == []
        assert engine.calls == [("input", "", {})]
        engine.result = GuardrailResult.unsafe("empty")
        assert run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(Source([])))) == [
            GuardrailStreamChunk(chunk="", is_safe=False, reason="empty")
        ]

    def test_keywords_reach_the_engine_but_caps_do_not(self):
        engine = Engine()
        adapter = FullStreamGuardrailAdapter(engine)
        run(collect(adapter.check_input_stream(Source(["x"]), 10, 5, user="u", trace=1)))
        run(collect(adapter.check_input_stream(Source(["y"]), max_stream_buffer_chunks=5, tag="t")))
        assert engine.calls == [("input", "x", {"user": "u", "trace": 1}), ("input", "y", {"tag": "t"})]

    def test_caps_apply_positionally_and_nothing_is_released(self):
        engine = Engine()
        with pytest.raises(GuardrailStreamBufferLimitError) as info:
            run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(Source(["a", "b", "c"]), 100, 2)))
        assert info.value.attempted == 3 and engine.calls == []

    def test_keyword_collisions(self):
        engine = Engine()
        source = Source(["a"])
        with pytest.raises(TypeError):
            run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(source, content="x")))
        assert source.reads == 1 and engine.calls == []  # read, then the engine call collides
        source = Source(["a"])
        with pytest.raises(TypeError):
            run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(source, check_method="x")))
        assert source.reads == 0

    def test_content_collides_whatever_the_engine_signature(self):
        # Without its own `content` parameter the engine cannot notice the name given twice.
        class Loose(Engine):
            async def check_input(self, *args, **kwargs):
                self.calls.append(("input", args, kwargs))
                return self.result

        engine = Loose()
        with pytest.raises(TypeError, match=r"Loose\.check_input\(\) got multiple values for keyword argument 'content'$"):
            run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(Source(["a"]), content="x")))
        assert engine.calls == []

    def test_mode_is_not_consulted(self):
        class InputOnly(Engine):
            config = None

        engine = InputOnly()
        run(collect(FullStreamGuardrailAdapter(engine).check_output_stream(Source(["z"]))))
        assert engine.calls == [("output", "z", {})]

    def test_lazy_and_engine_read_at_first_item(self):
        first, second = Engine(), Engine(GuardrailResult.unsafe("second"))
        adapter = FullStreamGuardrailAdapter(first)
        source = Source(["a"])
        stream = adapter.check_input_stream(source)
        assert source.reads == 0 and first.calls == []
        adapter.engine = second
        assert run(collect(stream))[0].reason == "second"
        assert first.calls == []

    def test_engine_errors_propagate_unwrapped(self):
        class Failing(Engine):
            async def check_input(self, content, **kwargs):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            run(collect(FullStreamGuardrailAdapter(Failing()).check_input_stream(Source(["a"]))))

        class NoVerdict(Engine):
            async def check_input(self, content, **kwargs):
                return None

        with pytest.raises(AttributeError):
            run(collect(FullStreamGuardrailAdapter(NoVerdict()).check_input_stream(Source(["a"]))))
        with pytest.raises(AttributeError):
            run(collect(FullStreamGuardrailAdapter(object()).check_input_stream(Source(["a"]))))

    def test_a_chunk_that_only_encodes_fails_the_join(self):
        class Encodable:
            def encode(self):
                return b"x"

        adapter = FullStreamGuardrailAdapter(Engine())
        for kwargs in ({}, {"extra": 1}):
            with pytest.raises(TypeError, match="^sequence item 1: expected str instance, Encodable found$"):
                run(collect(adapter.check_input_stream(Source(["a", Encodable()]), **kwargs)))
        assert adapter.engine.calls == []

    def test_consumer_may_stop_early(self):
        engine = Engine()

        async def main():
            stream = FullStreamGuardrailAdapter(engine).check_input_stream(Source(["a", "b", "c"]))
            first = await anext(stream)
            await stream.aclose()
            return first

        assert run(main()).chunk == "a"

    def test_buffer_result_holds_the_same_list(self):
        engine = Engine()

        async def main():
            adapter = FullStreamGuardrailAdapter(engine)
            return await adapter._buffer_and_check(Source(["p", "q"]), engine.check_input, 10, 10, extra=2)

        outcome = run(main())
        assert outcome.buffered == ["p", "q"] and outcome.result.is_safe
        assert engine.calls == [("input", "pq", {"extra": 2})]


class TestReleasedItems:
    def test_items_match_validated_records(self):
        engine = Engine()
        items = run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(Source(["a", "b"]))))
        for item, text in zip(items, ["a", "b"]):
            reference = GuardrailStreamChunk(chunk=text, is_safe=True)
            assert item == reference and type(item) is GuardrailStreamChunk
            assert item.model_fields_set == reference.model_fields_set == {"chunk", "is_safe"}
            assert item.model_dump() == reference.model_dump()
            item.reason = "assignable"
            assert item.reason == "assignable"
        engine.result = GuardrailResult.unsafe(None)
        (marker,) = run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(Source(["a"]))))
        assert marker.model_fields_set == {"chunk", "is_safe", "reason"}

    def test_text_subclass_chunks_are_validated(self):
        class Text(str):
            pass

        items = run(collect(FullStreamGuardrailAdapter(Engine()).check_input_stream(Source([Text("a")]))))
        assert items == [GuardrailStreamChunk(chunk="a", is_safe=True)]


def test_a_verdict_whose_truth_fails_raises():
    class Undecided:
        def __bool__(self):
            raise ValueError("undecidable")

    class Verdict:
        is_safe = Undecided()
        reason = None

    engine = Engine(Verdict())
    with pytest.raises(ValueError, match="undecidable"):
        run(collect(FullStreamGuardrailAdapter(engine).check_input_stream(Source(["a"]))))
