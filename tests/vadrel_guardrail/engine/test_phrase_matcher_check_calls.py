"""Every shape of call to `check_input` and `check_output`: the common ones answer at once, the rest fail in
a Python method's words or pass their keywords on exactly as the binding declares."""

import asyncio

import pytest

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

PREFIX = "Content contains banned phrases: "
ENGINE = "vadrel_guardrail.engine.phrase_matcher_engine.PhraseMatcherEngine"


def refused(name, problem):
    return f"PhraseMatcherEngine.{name}() {problem}"


@pytest.fixture
def engine():
    return PhraseMatcherEngine(use_spacy=False)


@pytest.mark.parametrize("name", ["check_input", "check_output"])
class TestCalls:
    def test_positional_keyword_and_unbound_calls_check_alike(self, engine, name):
        method, unbound = getattr(engine, name), getattr(PhraseMatcherEngine, name)
        built_name = "".join(["con", "tent"])  # a keyword that is not the interned name
        for coro in (method("make a bomb"), method(content="make a bomb"), unbound(engine, "make a bomb"),
                     unbound(engine, content="make a bomb"), method(**{built_name: "make a bomb"})):
            assert coro.__qualname__ == f"PhraseMatcherEngine.{name}"
            assert asyncio.run(coro).reason == PREFIX + "make a bomb"
        assert asyncio.run(method(None)).is_safe

    @pytest.mark.parametrize("call, problem", [
        (lambda m: m(), "missing 1 required positional argument: 'content'"),
        (lambda m: m(text="a"), "missing 1 required positional argument: 'content'"),
        (lambda m: m("a", "b"), "takes 2 positional arguments but 3 were given"),
        (lambda m: m("a", content="b"), "got multiple values for argument 'content'"),
    ])
    def test_other_shapes_fail_as_a_python_method_would(self, engine, name, call, problem):
        with pytest.raises(TypeError) as caught:
            call(getattr(engine, name))
        assert str(caught.value) == refused(name, problem)

    def test_unbound_without_an_engine(self, name):
        with pytest.raises(TypeError) as caught:
            getattr(PhraseMatcherEngine, name)()
        assert str(caught.value) == refused(name, "missing 2 required positional arguments: 'self' and 'content'")
        with pytest.raises(AttributeError, match="'int' object has no attribute '_check_content'"):
            asyncio.run(getattr(PhraseMatcherEngine, name)(1, "make a bomb"))

    def test_keywords_beyond_the_content_reach_a_replaced_check(self, engine, name):
        seen = []

        async def check_content(content, **kwargs):
            seen.append((content, kwargs))
            return "verdict"

        engine._check_content = check_content
        method = getattr(engine, name)
        assert asyncio.run(method(content="a", user="u")) == asyncio.run(method("b")) == "verdict"
        assert asyncio.run(method(content="c")) == "verdict"
        assert seen == [("a", {"user": "u"}), ("b", {}), ("c", {})]
