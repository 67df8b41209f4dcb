"""Whatever a caller keeps, touches or drops of the results of earlier checks, every result equals the validated
one."""

import asyncio
import gc
import weakref

import pytest

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine
from vadrel_guardrail.schema import GuardrailResult

PREFIX = "Content contains banned phrases: "
TEXTS = ["make a bomb", "a calm day", "how to hack and steal money", "make a bomb", "", "hate speech"]


def expected(text):
    found = [p for p in ("how to hack", "steal money", "make a bomb", "hate speech") if p in text]
    return GuardrailResult.unsafe(PREFIX + ", ".join(found)) if found else GuardrailResult.safe()


def same(result, reference):
    assert type(result) is GuardrailResult
    assert result == reference and result.model_fields_set == reference.model_fields_set
    assert list(result.model_dump()) == list(reference.model_dump())
    assert result.model_copy() == reference.model_copy()
    assert result.__pydantic_extra__ is None and result.__pydantic_private__ is None


@pytest.fixture
def engine():
    return PhraseMatcherEngine(use_spacy=False)


def checks(engine, texts, keep):
    """Checks the texts in turn, each result compared at once; `keep(result)` after each."""
    async def run():
        for text in texts:
            result = await engine.check_input(content=text)
            same(result, expected(text))
            keep(result)
    asyncio.run(run())


class TestHeldResults:
    def test_results_held_by_the_caller_are_never_made_over(self, engine):
        held = []
        checks(engine, TEXTS * 3, held.append)
        for text, result in zip(TEXTS * 3, held):
            same(result, expected(text))
        assert len({id(r) for r in held}) == len(held)

    def test_a_result_kept_until_the_next_one_keeps_its_values(self, engine):
        previous = []

        def keep(result):
            if previous:
                same(previous[0][1], expected(previous[0][0]))
                assert previous[0][1] is not result
            previous[:] = [(texts.pop(0), result)]

        texts = TEXTS * 4
        checks(engine, list(texts), keep)

    def test_a_result_with_a_weak_reference_is_not_handed_out_again(self, engine):
        refs = []

        def keep(result):
            refs.append(weakref.ref(result))

        checks(engine, TEXTS * 2, keep)
        live = [ref() for ref in refs if ref() is not None]
        assert len({id(r) for r in live}) == len(live)


class TestTouchedResults:
    @pytest.mark.parametrize("touch", [
        lambda r: r.model_fields_set.add("extra"),
        lambda r: r.model_fields_set.discard("category"),
        lambda r: setattr(r, "category", "changed"),
        lambda r: r.__dict__.update(extra="kept"),
        lambda r: r.__dict__.update(reason=r.__dict__.pop("reason")),  # order changed
        lambda r: r.__dict__.pop("is_safe") and r.__dict__.update(is_safe=r.is_safe),
    ])
    def test_touched_and_dropped_results_never_show_in_later_ones(self, engine, touch):
        def keep(result):
            try:
                touch(result)
            except (AttributeError, KeyError):
                pass

        checks(engine, TEXTS * 3, keep)
        checks(engine, TEXTS * 2, lambda result: None)

    def test_a_result_kept_through_its_fields_alone(self, engine):
        kept = []
        checks(engine, TEXTS * 2, lambda r: kept.append((r.__dict__, r.model_fields_set, r.model_dump())))
        gc.collect()
        checks(engine, TEXTS * 2, lambda result: None)
        for fields, names, dump in kept:
            assert fields == dump and names >= {"is_safe", "reason"}


def test_the_stop_iteration_that_carried_a_result_keeps_it(engine):
    with pytest.raises(StopIteration) as stop:
        next(engine.check_input("make a bomb").__await__())
    carried = stop.value
    checks(engine, TEXTS, lambda result: None)
    assert carried.value.reason == PREFIX + "make a bomb" and carried.args == (carried.value,)


def test_a_check_run_by_a_value_let_go_gets_a_result_of_its_own(engine):
    inner = []

    class Trigger:
        def __del__(self):
            with pytest.raises(StopIteration) as stop:
                engine.check_input("make a bomb").send(None)
            inner.append(stop.value.value)

    async def run():
        result = await engine.check_input(content="hate speech")
        result.category = Trigger()
        del result
        for text in ("how to hack", "hate speech", "how to hack"):
            outer = await engine.check_input(content=text)
            same(outer, expected(text))
            if inner:
                assert inner[0] is not outer
                same(inner[0], expected("make a bomb"))
    asyncio.run(run())
    assert len(inner) == 1
