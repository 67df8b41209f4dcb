"""Every shape of call to `check_input` and `check_output`: the common ones answer at once, the rest fail or
pass their keywords on exactly as the binding declares."""

import asyncio

import pytest

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

PREFIX = "Content contains banned phrases: "
ENGINE = "vadrel_guardrail.engine.phrase_matcher_engine.PhraseMatcherEngine"


def refused(name, given):
    return (f"{name}(): incompatible function arguments. The following argument types are supported:\n"
            f"    1. {name}(self, content: object | None, **kwargs) -> object\n\nInvoked with types: {given}")


@pytest.fixture
def engine():
    return PhraseMatcherEngine(use_spacy=False)


@pytest.mark.parametrize("name", ["check_input", "check_output"])
class TestCalls:
    def test_positional_keyword_and_unbound_calls_check_alike(self, engine, name):
        method, unbound = getattr(engine, name), getattr(PhraseMatcherEngine, name)
        for coro in (method("make a bomb"), method(content="make a bomb"), unbound(engine, "make a bomb"),
                     unbound(engine, content="make a bomb")):
            assert coro.__qualname__ == f"PhraseMatcherEngine.{name}"
            assert asyncio.run(coro).reason == PREFIX + "make a bomb"
        assert asyncio.run(method(None)).is_safe

    @pytest.mark.parametrize("call, given", [
        (lambda m: m(), ENGINE),
        (lambda m: m("a", "b"), f"{ENGINE}, str, str"),
        (lambda m: m("a", content="b"), f"{ENGINE}, str, kwargs = {{ content: str }}"),
        (lambda m: m(text="a"), f"{ENGINE}, kwargs = {{ text: str }}"),
    ])
    def test_other_shapes_fail_as_the_binding_says(self, engine, name, call, given):
        with pytest.raises(TypeError) as caught:
            call(getattr(engine, name))
        assert str(caught.value) == refused(name, given)

    def test_unbound_without_an_engine(self, name):
        with pytest.raises(TypeError) as caught:
            getattr(PhraseMatcherEngine, name)()
        assert str(caught.value) == refused(name, "")
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
