"""The manager's streams behave as the Python they stand for where Python's own rules decide: an item's `chunk` is
read through the attribute protocol between stages, a source iterator is read through its `__anext__` attribute, and
a StopIteration thrown into a stream ends it as an async generator's own."""

import asyncio

import pytest

from vadrel_guardrail import GuardrailManager, PhraseMatcherEngine
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig
from vadrel_guardrail.schema import GuardrailStreamChunk

from .stream_doubles import DISABLED, Streaming, gather


def stored_and_read(items):
    return [(vars(item)["chunk"], item.chunk) for item in items]


@pytest.mark.own_process
def test_a_chunk_property_is_read_between_stages(monkeypatch):
    # Stage 0 passes each chunk on; stage 1 is the phrase engine's strict segment. Each reading of `chunk` adds a
    # "!": the feed after stage 0 reads it once ("a!" reaches stage 1, which passes it on as it is), the feed after
    # stage 1 once more ("a!!" reaches the last level, which makes the caller's item of it), the caller once more.
    monkeypatch.setattr(GuardrailStreamChunk, "chunk", property(lambda self: vars(self)["chunk"] + "!"),
                        raising=False)
    manager = GuardrailManager([Streaming(), PhraseMatcherEngine(use_spacy=False)])

    async def source():
        yield "a"
        yield "b"

    items = asyncio.run(gather(manager.check_input_stream(source())))
    assert stored_and_read(items) == [("a!!", "a!!!"), ("b!!", "b!!!")]


class NoNext:
    pass


class Iterable:
    def __init__(self, iterator):
        self.iterator = iterator

    def __aiter__(self):
        return self.iterator


class Forwarding:
    """An async iterator whose `__anext__` only its `__getattr__` knows."""

    def __init__(self, items):
        self.items = iter(items)

    def __getattr__(self, name):
        if name != "__anext__":
            raise AttributeError(name)

        async def anext():
            for item in self.items:
                return item
            raise StopAsyncIteration

        return anext


class OwnNext:
    """An async iterator whose instance holds its `__anext__`."""

    def __init__(self, items):
        remaining = iter(items)

        async def anext():
            for item in remaining:
                return item
            raise StopAsyncIteration

        self.__anext__ = anext


MANAGERS = {
    "with a stage": lambda: GuardrailManager(PhraseMatcherEngine(use_spacy=False)),
    "without a stage": lambda: GuardrailManager(
        PhraseMatcherEngine(config=BaseGuardrailEngineConfig(guardrail_mode=DISABLED))),
}


@pytest.mark.parametrize("make_manager", MANAGERS.values(), ids=MANAGERS.keys())
def test_a_source_without_anext_raises_pythons_attribute_error(make_manager):
    with pytest.raises(AttributeError, match="^'NoNext' object has no attribute '__anext__'$"):
        asyncio.run(gather(make_manager().check_input_stream(Iterable(NoNext()))))


@pytest.mark.parametrize("iterator", [Forwarding, OwnNext])
@pytest.mark.parametrize("make_manager", MANAGERS.values(), ids=MANAGERS.keys())
def test_a_source_whose_anext_is_an_attribute_of_the_object_is_read(make_manager, iterator):
    items = asyncio.run(gather(make_manager().check_input_stream(Iterable(iterator(["x", "y"])))))
    assert [item.chunk for item in items] == ["x", "y"]


async def relay(stream):
    """A Python async generator that passes a stream on, as the manager's entry point does."""
    try:
        async for item in stream:
            yield item
    finally:
        await stream.aclose()


def thrown_in_after_first_item(make_stream):
    async def go():
        stream = make_stream()
        first = await stream.__anext__()
        with pytest.raises(RuntimeError) as raised:
            await stream.athrow(StopIteration())
        return first, raised.value

    return asyncio.run(go())


@pytest.mark.parametrize("make_manager", MANAGERS.values(), ids=MANAGERS.keys())
def test_a_stop_iteration_thrown_in_ends_the_stream_as_an_async_generators(make_manager):
    async def source():
        yield "a"
        yield "b"

    manager = make_manager()
    _, native = thrown_in_after_first_item(lambda: manager.check_input_stream(source()))
    _, python = thrown_in_after_first_item(lambda: relay(manager.check_input_stream(source())))
    assert str(native) == str(python) == "async generator raised StopIteration"
    assert type(native.__cause__) is type(python.__cause__) is StopIteration
