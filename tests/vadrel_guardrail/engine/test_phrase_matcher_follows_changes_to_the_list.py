"""The phrases named by a check follow `banned_phrases` as it is at that check, whatever happened to it since the
last one: the engine remembers the phrase objects it named in earlier reasons and must notice every change that
matters."""

import asyncio
import random
import re
import sys
import threading

import pytest
from effort import scaled
from phrase_verdicts import reference_verdict

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

PREFIX = "Content contains banned phrases: "


def expected_reason(phrases, matched_texts):
    """The phrases a check names for the distinct matched texts: the first phrase lowering to each."""
    detected = []
    for matched in matched_texts:
        for phrase in phrases:
            if phrase.lower() == matched:
                detected.append(phrase)
                break
    return PREFIX + ", ".join(detected)


def verdict(engine, text):
    result = asyncio.run(engine.check_input(content=text))
    return None if result.is_safe else result.reason


def reason(engine, text):
    assert (got := verdict(engine, text)) is not None
    return got


def fresh(text):
    """An equal text that is another object."""
    return (text + "\x00")[:-1]


def phrase_list(count):
    rng = random.Random(count)
    words = {"".join(rng.choice("abcdefghijklmnop") for _ in range(rng.randint(3, 8))) for _ in range(count * 3)}
    words = sorted(words)[:count * 2]
    return [f"{words[2 * i]} {words[2 * i + 1]}" for i in range(count)]


# Places of the matched phrases in a list of 3,000: the first, in the middle, the last, and two close together,
# so that the compare ends before, on and after blocks of the array.
PLACES = [(0,), (1499,), (2999,), (7, 8), (64, 2047)]


def mutations(place, rng):
    """Changes a caller can make between checks, as (name, function of the list) pairs; each changes the list
    in place or returns its replacement."""
    before, at = max(place[-1] - 1, 0), place[-1]

    def assign(index, value):
        def change(phrases):
            phrases[index] = value(phrases[index])
        return change

    def grow(phrases):  # far enough for the array to move, and to a new offset within a cache line
        for k in range(rng.randint(1, 5000)):
            phrases.append(f"grown {k}")

    return [
        ("nothing", lambda phrases: None),
        ("title case just before", assign(before, str.title)),
        ("title case on the matched", assign(at, str.title)),
        ("an equal new text on the matched", assign(at, fresh)),
        ("title case after", assign(min(at + 1, 2999), str.title)),
        ("a copy of the matched put first", lambda phrases: phrases.insert(0, phrases[at].upper())),
        ("the first deleted", lambda phrases: phrases.__delitem__(0)),
        ("sorted", list.sort),
        ("reversed", list.reverse),
        ("grown", grow),
        ("emptied and refilled", lambda phrases: phrases.__setitem__(slice(None), list(phrases))),
        ("a slice replaced by upper case", lambda phrases: phrases.__setitem__(
            slice(0, at + 1), [p.upper() for p in phrases[:at + 1]])),
        ("a tuple", tuple),
        ("equal new texts", lambda phrases: [fresh(p) for p in phrases]),
        ("upper case on a copy", lambda phrases: [p.upper() for p in phrases]),
    ]


@pytest.mark.parametrize("place", PLACES)
def test_each_change_between_checks_is_seen(place):
    rng = random.Random(sum(place))
    original = phrase_list(3000)
    text = " and ".join(original[i].upper() for i in place)
    matched = [original[i] for i in place]
    for name, change in mutations(place, rng):
        phrases = list(original)
        engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
        assert reason(engine, text) == expected_reason(phrases, matched), name
        replaced = change(phrases)
        if replaced is not None:
            engine.banned_phrases = replaced
        for _ in range(2):  # the change learnt, then remembered
            assert reason(engine, text) == expected_reason(engine.banned_phrases, matched), name


def test_changes_by_another_thread_between_checks():
    phrases = phrase_list(3000)
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    text = f"{phrases[2500]} {phrases[40]}"
    matched = [phrases[2500].lower(), phrases[40].lower()]
    rng = random.Random(5)
    for _ in range(200):
        index = rng.choice([0, 39, 40, 41, 2499, 2500, 2501])
        value = rng.choice([phrases[40].title(), phrases[2500].upper(), fresh(phrases[index]), "other text"])
        worker = threading.Thread(target=phrases.__setitem__, args=(index, value))
        worker.start()
        worker.join()
        assert reason(engine, text) == expected_reason(phrases, matched)


def test_engines_sharing_one_pattern_keep_their_own_phrases():
    # `re`'s compile cache gives equal patterns one object: each engine's reasons name its own phrases.
    phrases = phrase_list(1000)
    text = phrases[900]
    first = PhraseMatcherEngine(banned_phrases=list(phrases), use_spacy=False)
    second = PhraseMatcherEngine(banned_phrases=[p.upper() for p in phrases], use_spacy=False)
    assert first.banned_phrases_regex is second.banned_phrases_regex
    for _ in range(3):
        assert reason(first, text) == PREFIX + phrases[900]
        assert reason(second, text) == PREFIX + phrases[900].upper()
        second.banned_phrases[5] = phrases[900].title()
        assert reason(second, text) == PREFIX + phrases[900].title()
        second.banned_phrases[5] = "other text"


@pytest.mark.parametrize("text, matched", [
    ("s b c", ["s", "b", "c"]),  # "s" matches the long s only up to case: no phrase stands for it
    ("c s", ["c", "s"]),
    ("s", ["s"]),
])
def test_matches_that_stand_for_no_phrase_are_left_out(text, matched):
    engine = PhraseMatcherEngine(banned_phrases=["\u017f", "b", "c"], use_spacy=False)
    for _ in range(2):
        assert reason(engine, text) == expected_reason(engine.banned_phrases, matched)


def test_the_matching_path_called_on_an_emptied_list():
    # The complete-text checks answer safe for no phrases; the matching path itself still names none.
    engine = PhraseMatcherEngine(banned_phrases=["b"], use_spacy=False)
    engine.banned_phrases.clear()
    for _ in range(2):
        result = engine._check_banned_phrases_regex("a b")
        assert not result.is_safe and result.reason == PREFIX


@pytest.mark.parametrize("change", ["grown", "shrunk"])
def test_a_list_changed_while_its_pattern_is_compiled(change, monkeypatch):
    phrases, compile_ = ["make a bomb", "bake bread"], re.compile
    edit = {"grown": lambda: phrases.extend(f"grown {k}" for k in range(5000)),
            "shrunk": lambda: phrases.remove("make a bomb")}[change]
    monkeypatch.setattr(re, "compile", lambda *args: edit() or compile_(*args))
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    monkeypatch.undo()
    assert engine.banned_phrases is phrases
    assert engine.banned_phrases_regex.pattern == r"\b(make\ a\ bomb|bake\ bread)\b"
    for text, matched in [("how to make a bomb", ["make a bomb"]), ("how to bake bread", ["bake bread"]),
                          ("bake bread, make a bomb", ["bake bread", "make a bomb"])] * 2:
        assert reason(engine, text) == expected_reason(phrases, matched), text


def test_a_list_edited_by_another_thread_while_engines_are_built():
    shared = phrase_list(40)
    stop = threading.Event()

    def edit():
        rng = random.Random(3)
        while not stop.is_set():
            if len(shared) < 20 or rng.random() < 0.5:
                shared.extend(fresh(p) for p in shared[:rng.randint(1, 200)])
            else:
                del shared[rng.randint(1, 10):rng.randint(11, len(shared))]

    interval, editor = sys.getswitchinterval(), threading.Thread(target=edit)
    sys.setswitchinterval(1e-6)
    editor.start()
    try:
        engines = [PhraseMatcherEngine(banned_phrases=shared, use_spacy=False) for _ in range(scaled(3000))]
    finally:
        stop.set()
        editor.join()
        sys.setswitchinterval(interval)
    texts = [" and ".join(phrase_list(40)[k::8]).upper() for k in range(8)]
    for engine, text in ((engine, text) for engine in engines[-200:] for text in texts):
        assert verdict(engine, text) == reference_verdict(engine, text)
