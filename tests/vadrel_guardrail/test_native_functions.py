"""The package's native functions behave as Python functions where callers look: pickled and copied by
reference, recognised as coroutine or async generator functions, and malformed calls answered in Python's
words."""

import asyncio
import copy
import gc
import inspect
import pickle
import typing
from collections.abc import AsyncGenerator, Mapping
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


class Waiting(GuardrailEngine):
    def __init__(self, note):
        self.config, self.note, self.seen, self.go = BaseGuardrailEngineConfig(), note, [], asyncio.Event()

    async def check_input(self, content, **kwargs):
        self.seen.append(self.note())
        await self.go.wait()
        return GuardrailResult.safe()


def test_inspect_tells_the_state_of_a_native_coroutine_and_stream():
    async def go():
        engine = Waiting(lambda: inspect.getcoroutinestate(check))
        check = GuardrailManager(engine).check_content("hello")
        states = [inspect.getcoroutinestate(check)]
        task = asyncio.ensure_future(check)
        await asyncio.sleep(0)
        states += [*engine.seen, inspect.getcoroutinestate(check)]
        engine.go.set()
        await task
        states.append(inspect.getcoroutinestate(check))

        async def chunks():
            states.append(inspect.getasyncgenstate(stream))
            yield "hello"

        stream = PhraseMatcherEngine(use_spacy=False).check_input_stream(chunks())
        states.append(inspect.getasyncgenstate(stream))
        await anext(stream)
        states.append(inspect.getasyncgenstate(stream))
        return states + [await stream.aclose() or inspect.getasyncgenstate(stream)]

    assert asyncio.run(go()) == [inspect.CORO_CREATED, inspect.CORO_RUNNING, inspect.CORO_SUSPENDED,
                                 inspect.CORO_CLOSED, inspect.AGEN_CREATED, inspect.AGEN_RUNNING,
                                 inspect.AGEN_SUSPENDED, inspect.AGEN_CLOSED]


def test_type_hints_are_the_stubs():
    assert typing.get_type_hints(GuardrailManager.check_content) == {
        "content": str | GuardrailInput, "engine_kwargs": Mapping[str, Any] | None, "return": GuardrailResult}
    assert typing.get_type_hints(PhraseMatcherEngine.check_input) == {"content": str, "kwargs": Any,
                                                                      "return": GuardrailResult}
    assert typing.get_type_hints(GuardrailManager.check_input_stream)["return"] == AsyncGenerator[
        GuardrailStreamChunk, None]
    assert typing.get_type_hints(GuardrailResult.unsafe)["return"] is Self
    for function in (f for f in gc.get_objects() if type(f).__name__ == "native_function"):
        assert typing.get_type_hints(function).keys() == function.__annotations__.keys()
