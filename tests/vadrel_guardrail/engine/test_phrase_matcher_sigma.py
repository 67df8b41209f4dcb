"""Greek sigmas in the matches: the engine's verdicts against the prepared pattern's, where the phrase a match
stands for hangs on how `str.lower` writes each capital sigma (final or not, from the characters around it),
and where one engine reports the same raw texts again and again, in other surroundings."""

import asyncio
import random

import pytest
from phrase_verdicts import reference_verdict

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

pytestmark = pytest.mark.against_re

# Phrases that differ only in their sigmas, so that the phrase reported for a match depends on them.
PHRASES = ["λογος δρομους", "λογοσ δρομουσ", "λογος", "λογοσ", "σος", "σοσ", "ςος", "ς", "σ", "ασ", "ας"]
# Text right before and after a match: nothing (the text's start or end), punctuation, white space, cased and
# case-ignorable characters (an apostrophe, a middle dot, combining marks) that decide a sigma's lower case
# across the match's edge.
BEFORE = ["", " ", ".", "Α'", "Α\u0301 ", "Α\u00b7", "α.", "'", "\u0301", "1 "]
AFTER = ["", " ", ".", "'Α", "\u0301Α", "\u0301", "\u00b7α", ":Α", "' ", "\u0345Α", "!"]
RAW = ["ΛΟΓΟΣ ΔΡΟΜΟΥΣ", "ΛΟΓΟΣ", "Λογος", "ΛΟΓΟς", "ΛΟΓΟσ", "ΣΟΣ", "Σ", "ΑΣ", "ςΟΣ", "ΣΟσ"]


def assert_verdicts(engine, texts):
    async def run():
        for text in texts:
            result = await engine.check_input(text)
            reason = reference_verdict(engine, text)
            assert (result.is_safe, result.reason) == (reason is None, reason), text

    asyncio.run(run())


@pytest.mark.parametrize("phrases", [PHRASES, PHRASES[::-1], [p.upper() for p in PHRASES]])
def test_sigmas_at_the_edges_of_matches(phrases):
    # One engine over every raw text in every surrounding: each raw text is reported again in other surroundings,
    # alone in a text and after itself in the same text.
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    texts = [before + raw + after for raw in RAW for before in BEFORE for after in AFTER]
    texts += [" ".join(texts[i:i + 7]) for i in range(0, len(texts), 5)]
    assert_verdicts(engine, texts)


@pytest.mark.parametrize("wide", ["", "\U00010400"])
@pytest.mark.parametrize("edge", [64, 1024])
def test_sigmas_at_block_edges(wide, edge):
    # Matches placed across the scan's block edges, in texts of two- and four-byte characters, with the
    # sigma's surroundings on either side of the edge.
    engine = PhraseMatcherEngine(banned_phrases=PHRASES, use_spacy=False)
    filler = ("ΤΟ ΠΛΟΙΟ και ο δρόμος " * 200)
    texts = []
    for raw in RAW[:6]:
        for after in AFTER:
            for shift in range(-len(raw) - 3, 4):
                at = edge + shift
                head = wide + filler[:at - len(wide)] if at > len(wide) else wide
                texts.append(head + raw + after + filler[:edge])
                texts.append(head + raw + after)  # the match at the text's end
    assert_verdicts(engine, texts)


def test_random_texts_of_sigmas_and_their_surroundings():
    # Many texts through one engine: raw texts that repeat, with their sigmas lowered now one way, now the
    # other, and the same raw text at other nodes of the trie (longer phrases that hold it).
    rng = random.Random(20)
    phrases = PHRASES + ["δρομους λογος", "σος σος", "ς ς"]
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    pieces = RAW + ["ΔΡΟΜΟΥΣ", "δρομους", "ΔΡΟΜΟΥσ", "και"] + BEFORE + AFTER
    texts = []
    for _ in range(1500):
        text = "".join(rng.choice(pieces) + rng.choice(["", " ", " ", "'", "\u0301", "."])
                       for _ in range(rng.randint(1, 12)))
        texts.append(text if rng.random() < 0.8 else text * rng.randint(2, 40))
    assert_verdicts(engine, texts)


def test_long_matches_with_sigmas():
    # Matches too long to remember are reported afresh each time, the same as the short ones.
    long_phrase = " ".join(["λογος"] * 12)
    phrases = [long_phrase, long_phrase.replace("ς", "σ"), "λογος"]
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    raw = long_phrase.upper()
    texts = [raw + after for after in AFTER] + [raw.lower() + after for after in AFTER]
    texts += [" ".join(texts), (raw + "'Α ") * 30 + raw]
    assert_verdicts(engine, texts)
