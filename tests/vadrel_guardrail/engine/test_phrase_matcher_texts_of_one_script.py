"""Two-byte texts whose blocks lie in ASCII and one other window of 128 characters (Greek, Latin-1, Latin
Extended-A, the combining marks beside the early Greek letters), which the block scan reads by byte permutes
where the machine can, beside blocks that reach into a third window: the native matches and the engine's
verdicts against the prepared pattern's, at block edges, text ends and in either case."""

import random

import pytest
from script_texts import assert_all_agree, phrases_of, text_of, texts_at_block_edges, texts_with_one_of

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

pytestmark = pytest.mark.against_re

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
# Characters of other windows, beside the script's in a block or in the 16 characters after it.
OTHERS = ["ж", "中", "ā", "\u0301", "ώ", "é", "\u2014"]


@pytest.mark.parametrize("script", sorted(SCRIPTS))
def test_texts_of_one_script_at_block_edges(script):
    rng = random.Random(script)
    words, separators = SCRIPTS[script]
    engine = PhraseMatcherEngine(banned_phrases=phrases_of(words, rng), use_spacy=False)
    assert_all_agree(engine, texts_at_block_edges(engine, words, separators, rng))


@pytest.mark.parametrize("script", sorted(SCRIPTS))
def test_blocks_with_a_letter_of_another_alphabet(script):
    # One character of another window in a block, in the 16 characters after it, or at the text's edges.
    rng = random.Random(script + " others")
    words, separators = SCRIPTS[script]
    engine = PhraseMatcherEngine(banned_phrases=phrases_of(words, rng), use_spacy=False)
    assert_all_agree(engine, texts_with_one_of(OTHERS, words, separators, rng))


def test_scripts_that_change_from_block_to_block():
    # Each block in another script, so that the window kept from the block before is wrong at each.
    rng = random.Random(7)
    all_words = [w for words, _ in SCRIPTS.values() for w in words]
    engine = PhraseMatcherEngine(banned_phrases=phrases_of(all_words, rng, 150), use_spacy=False)
    texts = []
    for _ in range(40):
        pieces = [text_of(*SCRIPTS[rng.choice(sorted(SCRIPTS))], rng, rng.choice([60, 64, 70, 128])) for _ in range(5)]
        texts.append(" ".join(pieces))
    assert_all_agree(engine, texts)
