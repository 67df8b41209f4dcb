"""The coroutine of a check behaves as a Python coroutine would, whether the check finishes at its first step or
awaits a replaced `_check_content` that suspends."""

import asyncio
import gc
import warnings

import pytest

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

PREFIX = "Content contains banned phrases: "


@pytest.fixture
def engine():
    return PhraseMatcherEngine(use_spacy=False)


def dropped_warnings(make):
    """The warnings of dropping the coroutine that `make` gives."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        make()
        gc.collect()
    return [str(w.message) for w in caught]


def started(coro):
    assert coro.send(None) is None
    return coro


class TestFinishingAtOnce:
    def test_steps_before_and_after_the_body(self, engine):
        coro = engine.check_input("make a bomb")
        assert (coro.__qualname__, coro.cr_running, coro.cr_suspended, coro.cr_await) == (
            "PhraseMatcherEngine.check_input", False, False, None)
        assert coro.__await__() is coro
        with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
            coro.send(1)
        with pytest.raises(StopIteration) as stop:
            next(coro)
        assert stop.value.value.reason == PREFIX + "make a bomb"
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.send(None)
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            coro.throw(KeyError("after"))
        assert coro.close() is None

    def test_thrown_in_or_closed_before_the_body(self, engine):
        calls = []
        engine._check_banned_phrases_regex = lambda content: calls.append(content)
        coro = engine.check_output("make a bomb")
        with pytest.raises(ValueError, match="boom"):
            coro.throw(ValueError("boom"))
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)
        closed = engine.check_output("make a bomb")
        assert closed.close() is None
        with pytest.raises(RuntimeError, match="cannot reuse"):
            closed.send(None)
        assert calls == []
        assert dropped_warnings(lambda: engine.check_output("x")) == [
            "coroutine 'PhraseMatcherEngine.check_output' was never awaited"]

    def test_stop_iteration_from_the_body_becomes_runtime_error(self, engine):
        def stopper(content):
            raise StopIteration(5)

        engine._check_banned_phrases_regex = stopper
        with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as raised:
            engine.check_input("make a bomb").send(None)
        assert isinstance(raised.value.__cause__, StopIteration)


class TestAwaitingAReplacedStep:
    @pytest.fixture
    def log(self, engine):
        log = []

        async def slow(content, **kwargs):
            try:
                log.append("start")
                await asyncio.sleep(0)
                log.append("after")
                return ("slow", content, kwargs)
            finally:
                log.append("finally")

        engine._check_content = slow
        return log

    def test_runs_on_a_loop(self, engine, log):
        assert asyncio.run(engine.check_input("x", trace=1)) == ("slow", "x", {"trace": 1})
        assert log == ["start", "after", "finally"]

    def test_suspended_then_thrown_into(self, engine, log):
        coro = started(engine.check_input("y"))
        assert coro.cr_suspended and not coro.cr_running and coro.cr_await is not None
        with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
            coro.__await__()
        with pytest.raises(KeyError):
            coro.throw(KeyError("t"))
        assert log == ["start", "finally"] and coro.cr_await is None
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    def test_bad_throw_arguments_fail_in_the_awaited_step(self, engine, log):
        coro = started(engine.check_input("y"))
        with pytest.raises(TypeError, match="exceptions must be classes or instances deriving from BaseException"):
            coro.throw(1)
        assert log == ["start", "finally"] and not coro.cr_suspended

    def test_closed_or_dropped_while_suspended(self, engine, log):
        coro = started(engine.check_input("y"))
        assert coro.close() is None
        assert log == ["start", "finally"]
        assert dropped_warnings(lambda: started(engine.check_input("y"))) == []
        assert log == ["start", "finally"] * 2

    def test_an_awaited_step_that_ignores_the_exit(self, engine):
        async def stubborn(content, **kwargs):
            try:
                await asyncio.sleep(0)
            except GeneratorExit:
                await asyncio.sleep(0)

        engine._check_content = stubborn
        coro = started(engine.check_input("y"))
        with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
            coro.close()

    def test_a_step_that_gives_no_awaitable(self, engine):
        engine._check_content = lambda content, **kwargs: 42
        with pytest.raises(TypeError, match="can't be used in 'await' expression"):
            engine.check_input("q").send(None)


class TestReadingTheEngine:
    def test_a_class_changed_between_checks_is_read_through(self):
        # A check reads the engine's attributes straight from its dict only while nothing on its class stands
        # before that dict; a class changed after some checks is seen at the next one.
        class Shadowed(PhraseMatcherEngine):
            pass

        engine = Shadowed(banned_phrases=["make a bomb", "steal money"], use_spacy=False)
        run = asyncio.run
        assert run(engine.check_input("make a bomb")).reason == PREFIX + "make a bomb"
        Shadowed.banned_phrases = property(lambda self: ["steal money", "Make A Bomb"])
        assert run(engine.check_input("make a bomb")).reason == PREFIX + "Make A Bomb"
        Shadowed.banned_phrases_regex = property(lambda self: None)
        assert run(engine.check_input("make a bomb")).is_safe is True
        del Shadowed.banned_phrases_regex, Shadowed.banned_phrases
        assert run(engine.check_input("make a bomb")).reason == PREFIX + "make a bomb"
        Shadowed._check_banned_phrases_regex = lambda self, content: "replaced"
        assert run(engine.check_input("make a bomb")) == "replaced"
        del Shadowed._check_banned_phrases_regex
        Shadowed.__getattribute__ = lambda self, name: ["steal money"] if name == "banned_phrases" else (
            object.__getattribute__(self, name))
        assert run(engine.check_output("make a bomb")).reason == PREFIX
