"""The stream classes read items, managers and their own records as Python would, whatever a careless or
hostile caller hands them: a dict key whose comparison replaces the object's dict, a manager class that
answers an attribute its own way, or an object of the wrong type as `self`."""

import asyncio

import pytest

from vadrel_guardrail import GuardrailManager
from vadrel_guardrail.guardrail_manager import _StageRunner, _StreamPipeline
from vadrel_guardrail.schema import GuardrailStreamChunk

from .stream_doubles import Source, Streaming, read_ahead, view


class Swapping(str):
    """A dict key equal to its text, whose comparison replaces the `__dict__` of `owner` with a copy, so that
    the dict being searched goes away in the middle of the search unless the reader holds it."""

    owner = None

    def __eq__(self, other):
        owner, Swapping.owner = Swapping.owner, None
        if owner is not None:
            replacement = {str(key): value for key, value in vars(owner).items()}
            object.__setattr__(owner, "__dict__", replacement)
            Swapping.scribbled = [bytearray(b"\xff" * 4096) for _ in range(16)]  # over what was freed
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def with_swapping_key(obj, name):
    """`obj` whose dict keeps `name` under a `Swapping` key, armed to replace that dict once. The dict is made
    large, so that its storage goes back to the allocator when it goes (a sanitizer then sees a late read)."""
    fields = dict(vars(obj))
    value = fields.pop(name)
    fields.update((f"_padding{i}", i) for i in range(64))
    fields[Swapping(name)] = value
    object.__setattr__(obj, "__dict__", fields)
    Swapping.owner = obj
    return obj


def consume(manager, chunks):
    async def run():
        return [item async for item in manager.check_input_stream(Source(chunks))]

    return asyncio.run(run())


class TestDictsReplacedWhileRead:
    @pytest.mark.parametrize("field", ["chunk", "is_safe"])
    def test_an_item_whose_dict_goes_while_its_field_is_read(self, field):
        async def acknowledge(engine, chunks):
            async for chunk in chunks:
                yield with_swapping_key(GuardrailStreamChunk(chunk=chunk, is_safe=True), field)

        assert view(consume(GuardrailManager(Streaming(acknowledge)), ["a", "b"])) == [
            ("a", True, None), ("b", True, None)]

    def test_a_manager_whose_dict_goes_while_the_chunk_cap_is_read(self):
        manager = with_swapping_key(GuardrailManager(Streaming(read_ahead(2)), max_stream_buffer_chunks=1),
                                    "max_stream_buffer_chunks")
        assert view(consume(manager, ["a", "b", "c"])) == [
            ("", False, "Error checking content: Strict stream buffer chunks limit exceeded: configured=1, attempted=2.")]


class TestChunkCapAsPythonReadsIt:
    def test_a_class_that_answers_the_cap_itself(self):
        class Answering(GuardrailManager):
            def __getattribute__(self, name):
                if name == "max_stream_buffer_chunks":
                    return 2
                return super().__getattribute__(name)

        manager = Answering(Streaming(read_ahead(3)), max_stream_buffer_chunks=100)
        assert view(consume(manager, list("abcd"))) == [
            ("", False, "Error checking content: Strict stream buffer chunks limit exceeded: configured=2, attempted=3.")]


class TestWrongSelf:
    @pytest.mark.parametrize("call", [
        lambda: _StageRunner.run(object()),
        lambda: _StageRunner._source_iter(object()),
        lambda: _StageRunner._process_item(object(), None),
        lambda: _StageRunner._close_source("runner"),
        lambda: _StageRunner._handle_error(object(), ValueError()),
        lambda: _StreamPipeline.run(object()),
        lambda: _StreamPipeline._active_engines(object()),
        lambda: _StreamPipeline._build_stages(object(), []),
        lambda: _StreamPipeline._run_stages(object(), None, [], 0),
        lambda: _StageRunner.run(_StageRunner.__new__(_StageRunner)),
        lambda: _StreamPipeline._active_engines(_StreamPipeline.__new__(_StreamPipeline)),
    ])
    def test_refused_with_type_error(self, call):
        with pytest.raises(TypeError):
            call()

    def test_stage_and_source_operations(self):
        manager = GuardrailManager(Streaming())
        pipeline = _StreamPipeline(manager, Source(["a"]), manager.engines[0].config.guardrail_mode, {})
        [stage] = pipeline._build_stages(pipeline._active_engines())
        for operation in (type(stage).__call__, type(pipeline._source).__anext__, type(pipeline._source).peek,
                          type(pipeline._source).aclose):
            with pytest.raises(TypeError):
                operation(*([object()] + [None] * (operation is type(stage).__call__)))
