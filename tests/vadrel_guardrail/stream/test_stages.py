"""Strict segment and incremental stages."""

import os
import sys
from collections import UserDict

from vadrel_guardrail import GuardrailManager, PhraseMatcherEngine
from vadrel_guardrail.engine.base_engine import (
    BaseGuardrailEngineConfig,
    GuardrailStreamBufferLimitError,
    GuardrailStreamValidationError,
)
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk

sys.path.insert(0, os.path.dirname(__file__))  # the shared doubles beside this file
from stream_doubles import (  # noqa: E402
    BOTH,
    FullStream,
    NOT_ONE_TO_ONE,
    OUTPUT,
    Source,
    Streaming,
    Strict,
    UNACKNOWLEDGED,
    consume,
    consume_until_error,
    doubled,
    passthrough,
    read_ahead,
    safe,
    safe_first,
    stop_after,
    text_bearing,
    texts,
    upper,
    view,
)

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

    def test_cap_of_a_class_that_changes_mid_stream(self):
        class Manager(GuardrailManager):
            pass

        manager = Manager(Streaming(read_ahead(5)))

        def lower(position):
            if position == 2:  # the class now holds the cap, above what the instance holds
                Manager.max_stream_buffer_chunks = property(lambda self: 2)

        assert view(consume(manager, Source(list("abcde"), on_read=lower))) == [
            ("", False, "Error checking content: Strict stream buffer chunks limit exceeded: configured=2, attempted=3.")]
