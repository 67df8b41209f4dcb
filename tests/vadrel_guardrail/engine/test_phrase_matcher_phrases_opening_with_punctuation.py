"""Short phrase lists whose first two characters pick the words a block scan looks up: the native matches
against the prepared pattern's `findall`, where those two characters are a letter and a non-word character
(white space, punctuation, a combining mark), in blocks all ASCII or mixed, at block edges and text ends."""

import random

import pytest

from vadrel_guardrail.engine import phrase_matcher_engine as pme
from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

pytestmark = pytest.mark.against_re

# First words of one letter, phrases with punctuation or a combining mark as their second character, and
# wide characters, which make even short lists look words up whole.
PHRASES = ["a b", "ο λογος", "η πολη", "a-b", "x.", "é ø", "k", "λ\u0345α", "ab cd", "σ.ς", "東京 x", "_ a"]
WORDS = ["a", "b", "ab", "cd", "x", "k", "o", "ο", "η", "λογος", "πολη", "ΛΟΓΟΣ", "λ", "α", "é", "ø", "東京",
         "_", "σ", "ς", "Σ", "K", "abc", "xy"]
SEPARATORS = [" ", " ", "-", ".", ". ", "\u0345", "\u00a0", ",", "\n", " - "]


def assert_findall(pattern, text):
    for variant in (text, text.lower()):
        assert pme._native_findall(pattern, variant) == pattern.findall(variant)


@pytest.mark.parametrize("seed", range(6))
def test_random_texts_over_several_blocks(seed):
    rng = random.Random(seed)
    phrases = rng.sample(PHRASES, rng.randint(3, len(PHRASES)))
    pattern = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex
    for _ in range(40):
        text = "".join(rng.choice(WORDS) + rng.choice(SEPARATORS) for _ in range(rng.randint(1, 120)))
        if rng.random() < 0.5:
            # Long ASCII runs: blocks whose 16-character lanes are all ASCII, beside mixed ones.
            text = text.replace("ο", "o").replace("η", "n") + " " + "a b " * rng.randint(0, 40) + text
        if rng.random() < 0.3:
            # Past the first blocks, where the scan may stop picking words by their first two characters.
            text = text * rng.randint(4, 12)
        assert_findall(pattern, text)


@pytest.mark.parametrize("phrase", ["a b", "x.", "a-b", "ο λογος", "λ\u0345α", "k"])
def test_phrases_across_block_edges(phrase):
    pattern = PhraseMatcherEngine(banned_phrases=[phrase, "東京 x", "ab cd"], use_spacy=False).banned_phrases_regex
    for filler in ("word " * 300, "λόγια " * 300):
        for edge in (64, 128, 1024):
            for shift in range(-len(phrase) - 2, 3):
                at = edge + shift
                text = filler[:at] + phrase
                assert_findall(pattern, text)  # the match at the text's end
                assert_findall(pattern, text + " " + filler[:100])
                assert_findall(pattern, text.upper() + "\u0345" + filler[:100])
