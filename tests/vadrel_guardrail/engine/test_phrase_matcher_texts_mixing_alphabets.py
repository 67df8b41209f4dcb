"""Two-byte texts whose blocks mix ASCII with two or three other windows of 128 characters (Turkish and Polish:
Latin-1 and Latin Extended-A; their lower cases with the combining dot of a lowered İ), which the block scan
reads by byte permutes where the machine can, beside blocks that reach further: the native matches and the
engine's verdicts against the prepared pattern's, at block edges, text ends and in either case."""

import random

import pytest
from script_texts import assert_all_agree, phrases_of, text_of, texts_at_block_edges, texts_with_one_of

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

pytestmark = pytest.mark.against_re

SCRIPTS = {
    # İ lowers to i and a combining dot (a third window), which the matcher lowers only around it.
    "turkish": (["çiçek", "ÇİÇEK", "göğüs", "ışık", "IŞIK", "İstanbul", "İZMİR", "düğme", "şehir", "Şehİr", "ğ", "ı",
                 "İ", "i\u0307", "öğretmen", "kız"], [" ", " ", ", ", ". ", "; "]),
    "polish": (["źdźbło", "ŹDŹBŁO", "łódź", "Łódź", "gęś", "żółw", "ŻÓŁW", "ćma", "ó", "ą", "świat", "ń"],
               [" ", " ", ", ", " - ", "\u00a0"]),
    # Latin-1, Latin Extended-A and -B, combining marks and Latin Extended Additional: more windows than a
    # block takes by permutes, in places.
    "vietnamese": (["việt", "VIỆT", "người", "NGƯỜI", "đường", "ở", "ơn", "tiếng", "a\u0301", "ư"], [" ", " ", ", "]),
}
# Characters of windows that the scripts' blocks hold rarely or never, for the edges of blocks.
OTHERS = ["ж", "中", "\u2014", "ώ", "\u0301", "é", "ğ"]


@pytest.mark.parametrize("script", sorted(SCRIPTS))
def test_mixed_alphabets_at_block_edges(script):
    # Phrases across the block edges and at the text's end, some in capitals (whose İ lowers longer), some
    # right after and before an İ; and a character of a further window at the edges.
    rng = random.Random(script)
    words, separators = SCRIPTS[script]
    engine = PhraseMatcherEngine(banned_phrases=phrases_of(words, rng), use_spacy=False)
    texts = texts_at_block_edges(engine, words, separators, rng, beside="İ")
    assert_all_agree(engine, texts + texts_with_one_of(OTHERS, words, separators, rng))


def test_alphabets_that_change_from_block_to_block():
    # Blocks of one, two, three and four windows in turn, so that the windows kept from the blocks before are
    # now right, now partly right, now wrong.
    rng = random.Random(20)
    pieces = [(["ab", "Cd", "x"], [" "]), (["ç", "ö", "ü"], [" "]), (["ğ", "ı", "ş", "ł"], [" "]),
              (["ж", "Жд"], [" "]), (["i\u0307", "a\u0301"], [" "])] + list(SCRIPTS.values())
    engine = PhraseMatcherEngine(banned_phrases=phrases_of([w for words, _ in pieces for w in words], rng, 150),
                                 use_spacy=False)
    texts = [" ".join(text_of(*rng.choice(pieces), rng, rng.choice([16, 60, 64, 70, 128])) for _ in range(8))
             for _ in range(40)]
    assert_all_agree(engine, texts)
