"""Several phrase engines checking in turn, as a manager with one engine per topic or per tenant does: each gives
the verdicts it gives alone (those of the prepared pattern), a warm check through any of them allocates nothing,
and threads checking with many engines while another thread rebinds an engine's phrases get `re`'s verdicts.
The matcher's scratch serves every engine of a thread at once."""

import os
import random
import re
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from effort import scaled
from phrase_verdicts import reference_verdict

import vadrel_guardrail_testing as testing
from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

ENGLISH = ("the plan will cover two more staff next year when our team meets the office manager about budget "
           "server training schedule summer price travel weather").split()
# Capitals whose lower case is longer (İ) or hangs on the neighbours (Σ), in the texts and in some phrases; no
# dotless ı, whose capital lowers to another text that the pattern matches too (that match names no phrase, and
# its text is kept apart: the one report that allocates).
OTHER = "İstanbul İzmir düğme şehir ΛΟΓΟΣ δρόμος ΠΟΛΗ νόμος ΣΤΑΘΜΟΣ φίλος".split()


def phrase_lists(count):
    """`count` different phrase lists, of 30 to 400 phrases (with and without word look-ups and the prefilter),
    some with words beyond ASCII and some with a phrase that opens with punctuation."""
    lists = []
    for k in range(count):
        rng = random.Random(k)
        words = ENGLISH + (OTHER if k % 3 == 0 else []) + [f"w{k}x{j}" for j in range(40)]
        size = (30, 120, 400)[k % 3]
        phrases = {" ".join(rng.choice(words) for _ in range(rng.randint(1, 3))) for _ in range(size)}
        phrases = sorted(phrases)
        if k % 4 == 1:
            phrases.append("#tag" + str(k))
        lists.append([p.title() if j % 5 == 0 else p for j, p in enumerate(phrases)])
    return lists


def texts_for(lists, rng, count=24):
    """Texts of 40 characters to 10 KB holding phrases of every list, in any case, some with İ and Σ."""
    words = ENGLISH + OTHER
    texts = []
    for k in range(count):
        size = rng.choice([40, 300, 300, 2000, 10_000])
        parts = []
        while sum(map(len, parts)) < size:
            if rng.random() < 0.04:
                phrase = rng.choice(rng.choice(lists))
                parts.append(phrase.upper() if rng.random() < 0.3 else phrase)
            else:
                parts.append(rng.choice(words) if rng.random() < 0.3 or k % 4 == 0 else rng.choice(ENGLISH))
        texts.append(" ".join(parts))
    return texts


def verdict(engine, text):
    """The engine's verdict, the check driven to its end at once (it never suspends)."""
    check = engine.check_input(content=text)
    try:
        check.send(None)
    except StopIteration as done:
        result = done.value
    else:
        check.close()
        raise AssertionError("the check suspended")
    return None if result.is_safe else result.reason


@pytest.mark.against_re
@pytest.mark.parametrize("count", [2, 5, 8, 16])
def test_engines_taking_turns_give_each_engines_verdicts_alone(count):
    lists = phrase_lists(count)
    texts = texts_for(lists, random.Random(count))
    alone = []
    for phrases in lists:
        engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
        alone.append([verdict(engine, text) for text in texts])
        assert alone[-1] == [reference_verdict(engine, text) for text in texts]
    engines = [PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False) for phrases in lists]
    rng = random.Random(-count)
    for _ in range(scaled(3)):
        # Each engine a text in turn, then each text through every engine in turn.
        for j, text in enumerate(texts):
            for k in rng.sample(range(count), count):
                assert verdict(engines[k], text) == alone[k][j], (k, text)


ALLOCATIONS = """
import random, sys
sys.path[:0] = {paths!r}
import vadrel_guardrail_testing as testing
testing.use_phrase_cpu_path({path!r})
from test_phrase_matcher_engines_taking_turns import phrase_lists, texts_for, verdict
from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

before = testing.allocations()
lists = phrase_lists(16)
engines = [PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False) for phrases in lists]
if testing.allocations() == before:
    sys.exit("allocations are not counted here")
texts = texts_for(lists, random.Random(7))
for _ in range(2):  # warm: the scratch sized, each engine's reasons kept
    for text in texts:
        for engine in engines:
            verdict(engine, text)
for text in texts:
    for engine in engines:
        before = testing.allocations()
        verdict(engine, text)
        if testing.allocations() != before:
            sys.exit(f"{{testing.allocations() - before}} allocations checking {{text[:60]!r}}")
print("none")
"""


def test_a_warm_check_through_any_engine_allocates_nothing():
    # The C++ allocations are counted by the test module, preloaded in a process of its own (a sanitizer's
    # allocator, preloaded first, is not counted: the test is skipped there).
    here = Path(__file__).resolve().parent
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), testing.__file__]))
    code = ALLOCATIONS.format(paths=[str(here), str(here.parent.parent / "support")], path=testing.phrase_cpu_path())
    done = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, LD_PRELOAD=preload),
                          capture_output=True, text=True)
    if "allocations are not counted here" in done.stderr:
        pytest.skip("allocations are not counted under this allocator")
    assert (done.returncode, done.stdout.strip()) == (0, "none"), done.stderr[-3000:]


@pytest.mark.against_re
def test_threads_checking_with_many_engines_while_one_rebinds_phrases():
    lists = phrase_lists(16)
    engines = [PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False) for phrases in lists]
    texts = texts_for(lists, random.Random(99), count=16)
    # The rebound engine's lists: the same texts as other objects, in another sequence type, in capitals.
    first = lists[0]
    variants = [first, tuple(first), [(p + "\x00")[:-1] for p in first], [p.upper() for p in first]]

    class As:
        def __init__(self, engine, phrases):
            self.banned_phrases_regex, self.banned_phrases = engine.banned_phrases_regex, phrases

    allowed = [{reference_verdict(As(engine, engine.banned_phrases), text)} for engine in engines for text in texts]
    for j, text in enumerate(texts):
        allowed[j] = {reference_verdict(As(engines[0], v), text) for v in variants}
    stop = threading.Event()
    wrong = []

    def check(seed):
        rng = random.Random(seed)
        for _ in range(scaled(6)):
            for k in rng.sample(range(len(engines)), len(engines)):
                for j, text in enumerate(texts):
                    got = verdict(engines[k], text)
                    if got not in allowed[k * len(texts) + j]:
                        wrong.append((k, text[:80], got))

    def rebind():
        rng = random.Random(0)
        while not stop.is_set():
            engines[0].banned_phrases = rng.choice(variants)
            if rng.random() < 0.1:
                re.purge()  # a new pattern, and with it a new automaton, for the checks that follow
                engines[0]._compile_banned_phrases_regex()

    rebinder = threading.Thread(target=rebind)
    checkers = [threading.Thread(target=check, args=(seed,)) for seed in range(8)]
    rebinder.start()
    for thread in checkers:
        thread.start()
    for thread in checkers:
        thread.join()
    stop.set()
    rebinder.join()
    assert wrong == []


@pytest.mark.against_re
def test_engines_whose_scratch_entries_fall_on_the_same_slots():
    # More engines than the scratch's 1,024 slots; the word ends a first phrase, a second phrase or none.
    lists = [[["élan", f"q{k}"], [f"q{k}", "élan"], ["élan vite", f"q{k}"]][k % 3] for k in range(1100)]
    engines = [PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False) for phrases in lists]
    for engine in engines * 2:
        assert verdict(engine, "un élan vital") == reference_verdict(engine, "un élan vital"), engine.banned_phrases
