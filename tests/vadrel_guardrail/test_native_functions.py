"""The package's native functions behave as Python functions where callers look: pickled and copied by
reference, recognised as coroutine or async generator functions, and malformed calls answered in Python's
words."""

import asyncio
import copy
import gc
import inspect
import pickle
import typing
from collections.abc import AsyncGenerator, AsyncIterable, Mapping
from typing import Any, Self

import pytest

from vadrel_guardrail import GuardrailInput, GuardrailManager, GuardrailResult, PhraseMatcherEngine
from vadrel_guardrail.config_loader import load_yaml_config
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig, GuardrailEngine
from vadrel_guardrail.schema import GuardrailStreamChunk


@pytest.mark.parametrize("function", [PhraseMatcherEngine.check_input, GuardrailManager.check_content,
                                      GuardrailManager.check_input_stream, load_yaml_config])
def test_pickled_and_copied_by_reference(function):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function and copy.deepcopy(function) is function


def test_kinds_of_function_as_inspect_tells_them():
    manager = GuardrailManager(PhraseMatcherEngine(use_spacy=False))
    for stream in (GuardrailManager.check_input_stream, manager.check_output_stream):
        assert inspect.isasyncgenfunction(stream) and not inspect.iscoroutinefunction(stream)
    assert GuardrailManager.check_input_stream.__defaults__ == (None,)
    assert inspect.iscoroutinefunction(manager.check_content) and not inspect.isasyncgenfunction(manager.check_content)
    assert not inspect.isasyncgenfunction(load_yaml_config) and not hasattr(load_yaml_config, "__code__")


def test_malformed_calls_in_python_words():
    manager = GuardrailManager(PhraseMatcherEngine(use_spacy=False))
    for call, message in [
        (lambda: manager.check_content(), "missing 1 required positional argument: 'content'"),
        (lambda: GuardrailManager.check_content(), "missing 2 required positional arguments: 'self' and 'content'"),
        (lambda: manager.check_content("a", content="b"), "got multiple values for argument 'content'"),
        (lambda: manager.check_content("a", wording="b"), "got an unexpected keyword argument 'wording'"),
        (lambda: manager.check_content("a", None, None), "takes from 2 to 3 positional arguments but 4 were given"),
    ]:
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == f"GuardrailManager.check_content() {message}"


class Watching(GuardrailEngine):
    """An engine that notes, each time it runs, what `note` answers then, and waits for `go` before answering."""

    def __init__(self, note):
        self.config = BaseGuardrailEngineConfig()
        self.note, self.seen, self.go = note, [], asyncio.Event()

    async def check_input(self, content, **kwargs):
        self.seen.append(self.note())
        await self.go.wait()
        return GuardrailResult.safe()

    async def check_output(self, content, **kwargs):
        return await self.check_input(content)


def test_inspect_tells_a_native_coroutines_state():
    async def go():
        engine = Watching(lambda: inspect.getcoroutinestate(check))
        check = GuardrailManager(engine).check_content("hello")
        states = [inspect.getcoroutinestate(check)]
        task = asyncio.ensure_future(check)
        await asyncio.sleep(0)
        states += [*engine.seen, inspect.getcoroutinestate(check)]
        engine.go.set()
        await task
        return states + [inspect.getcoroutinestate(check)]

    assert asyncio.run(go()) == [inspect.CORO_CREATED, inspect.CORO_RUNNING, inspect.CORO_SUSPENDED,
                                 inspect.CORO_CLOSED]


def test_inspect_tells_a_native_streams_state():
    async def go():
        async def chunks():
            states.append(inspect.getasyncgenstate(stream))
            yield "hello"

        stream = PhraseMatcherEngine(use_spacy=False).check_input_stream(chunks())
        states = [inspect.getasyncgenstate(stream)]
        await anext(stream)
        states.append(inspect.getasyncgenstate(stream))
        await stream.aclose()
        return states + [inspect.getasyncgenstate(stream)]

    assert asyncio.run(go()) == [inspect.AGEN_CREATED, inspect.AGEN_RUNNING, inspect.AGEN_SUSPENDED,
                                 inspect.AGEN_CLOSED]


@pytest.mark.parametrize("function, hints", [
    (GuardrailManager.check_content, {"content": str | GuardrailInput, "engine_kwargs": Mapping[str, Any] | None,
                                      "return": GuardrailResult}),
    (PhraseMatcherEngine.check_input, {"content": str, "kwargs": Any, "return": GuardrailResult}),
    (GuardrailManager.check_input_stream, {"chunks": AsyncIterable[str], "engine_kwargs": Mapping[str, Any] | None,
                                           "return": AsyncGenerator[GuardrailStreamChunk, None]}),
    (GuardrailResult.unsafe, {"reason": str, "filtered_content": str | None, "category": str | None,
                              "policy": str | None, "score": float | None, "return": Self}),
])
def test_type_hints_are_the_stubs(function, hints):
    assert typing.get_type_hints(function) == hints


def test_every_native_function_has_type_hints():
    for function in gc.get_objects():
        if type(function).__name__ == "native_function":
            assert typing.get_type_hints(function).keys() == function.__annotations__.keys()
