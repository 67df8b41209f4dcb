"""Two-byte texts whose blocks lie in ASCII and one other window of 128 characters (Greek, Latin-1, Latin
Extended-A, the combining marks beside the early Greek letters), which the block scan reads by byte permutes
where the machine can, beside blocks that reach into a third window: the native matches and the engine's
verdicts against the prepared pattern's, at block edges, text ends and in either case."""

import asyncio
import random

import pytest
from phrase_verdicts import reference_verdict

from vadrel_guardrail.engine import phrase_matcher_engine as pme
from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

# Words and the characters between them, each script's own within its window: the Greek ano teleia, a
# no-break space and guillemets, the combining ypogegrammeni (not a word character, yet it matches iota).
SCRIPTS = {
    "greek": (["λογος", "ΛΟΓΟΣ", "Λόγος", "δρόμος", "ΔΡΟΜΟΥΣ", "πόλη", "ΐ", "ς", "σ", "ο", "Η", "ΰω", "ϊ"],
              [" ", " ", "\u0387", ", ", ". ", " - "]),
    "latin1": (["café", "CAFÉ", "naïve", "über", "ÜBER", "straße", "ÿ", "x", "ab", "ÀÉÎ", "ø"],
               [" ", " ", "\u00a0", "«", "» ", "¿"]),
    "latin_extended": (["şehir", "ŞEHİR", "ığne", "ĞÖ", "ł", "Ł", "ŉ", "ſ", "ı", "Ĳ"], [" ", " ", "; ", "-"]),
    "marks": (["ͱ\u0345", "ͳͷ", "Ͳ", "ab\u0300", "ͻ", "x", "ͼͽ", "\u0345"], [" ", " ", "\u0345", "\u0301 ", "-"]),
}
# Characters of other windows, which send a block (or the 16 characters after it) to the table road.
OTHERS = ["ж", "中", "ā", "\u0301", "ώ", "é", "\u2014"]


def phrases_of(words, rng, count=80):
    lowered = sorted({w.lower() for w in words})
    phrases = {" ".join(rng.choice(lowered) for _ in range(rng.randint(1, 3))) for _ in range(count)}
    return sorted(phrases) + ["東京 x"]  # a wide phrase: words are looked up whole from the start


def text_of(words, separators, rng, size):
    parts = []
    while sum(map(len, parts)) < size:
        parts.append(rng.choice(words) + rng.choice(separators))
    text = "".join(parts)[:size]
    # Two-byte storage for the Latin-1 texts too, from a character at the end.
    return text if max(map(ord, text), default=0) > 0xFF else text + "\u2014"


def assert_all_agree(engine, texts):
    pattern = engine.banned_phrases_regex

    async def run():
        for text in texts:
            for variant in (text, text.lower(), text.upper()):
                assert pme._native_findall(pattern, variant) == pattern.findall(variant), variant
                result = await engine.check_input(variant)
                reason = reference_verdict(engine, variant)
                assert (result.is_safe, result.reason) == (reason is None, reason), variant

    asyncio.run(run())


@pytest.mark.parametrize("script", sorted(SCRIPTS))
def test_texts_of_one_script_at_block_edges(script):
    rng = random.Random(script)
    words, separators = SCRIPTS[script]
    engine = PhraseMatcherEngine(banned_phrases=phrases_of(words, rng), use_spacy=False)
    texts = []
    for size in [63, 64, 65, 79, 80, 81, 127, 128, 129, 143, 144, 200, 700]:
        for _ in range(4):
            texts.append(text_of(words, separators, rng, size))
    # A phrase placed across each place of the first block edges, and at the text's end.
    phrase = rng.choice(engine.banned_phrases[:-1])
    filler = text_of(words, separators, rng, 300)
    for at in range(52, 150, 3):
        texts.append(filler[:at] + " " + phrase.upper() + " " + filler[at:])
        texts.append(filler[:at] + " " + phrase)
    assert_all_agree(engine, texts)


@pytest.mark.parametrize("script", sorted(SCRIPTS))
def test_blocks_that_reach_a_third_window(script):
    # One character of another window in a block, in the 16 characters after it, or at the text's edges.
    rng = random.Random(script + " others")
    words, separators = SCRIPTS[script]
    engine = PhraseMatcherEngine(banned_phrases=phrases_of(words, rng), use_spacy=False)
    texts = []
    for _ in range(60):
        text = text_of(words, separators, rng, rng.choice([80, 144, 300]))
        at = rng.choice([0, 1, 40, 63, 64, 65, 70, 79, 80, 127, 128, 140, len(text) - 1, len(text)])
        texts.append(text[:at] + rng.choice(OTHERS) + text[at:])
    assert_all_agree(engine, texts)


def test_windows_change_from_block_to_block():
    # Each block in another script, so that the window kept from the block before is wrong at each.
    rng = random.Random(7)
    all_words = [w for words, _ in SCRIPTS.values() for w in words]
    engine = PhraseMatcherEngine(banned_phrases=phrases_of(all_words, rng, 150), use_spacy=False)
    texts = []
    for _ in range(40):
        pieces = [text_of(*SCRIPTS[rng.choice(sorted(SCRIPTS))], rng, rng.choice([60, 64, 70, 128])) for _ in range(5)]
        texts.append(" ".join(pieces))
    assert_all_agree(engine, texts)
