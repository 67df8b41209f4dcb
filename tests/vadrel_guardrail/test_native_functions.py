"""The package's native functions behave as Python functions where callers look: pickled and copied by
reference, recognised as coroutine or async generator functions, and malformed calls answered in Python's
words."""

import copy
import inspect
import pickle

import pytest

from vadrel_guardrail import GuardrailManager, PhraseMatcherEngine
from vadrel_guardrail.config_loader import load_yaml_config


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
