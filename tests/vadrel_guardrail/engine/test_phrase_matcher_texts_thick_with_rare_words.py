"""The prefilter's scan where many of a text's words pass its word filter, against the prepared pattern.

The scan tests the words of at least four characters by their first four, 16 or more at a time on wide
machines: here whole chunks of a text are required words, words that share their first four characters with
one, and words that run over the edges of the blocks and chunks that it reads at once. Builds with assertions
check the chosen SIMD path against the portable one on every chunk.
"""

import random

import pytest

from vadrel_guardrail.engine import phrase_matcher_engine as pme
from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

pytestmark = pytest.mark.against_re

RARE = ["zorbix", "qualmpt", "kvetchy", "zzzz", "bkqs", "snarfle", "gribbletons", "plonkwise"]
# The first four characters of a required word, in other words: they pass the filter and fail the look-up.
NEAR = ["zorb", "qualm", "kvetch", "zzzzz", "bkqsx", "snarf", "gribble", "plonkwiser", "Zorbi"]
FILLER = ["the", "new", "plan", "will", "cover", "staff", "year", "a", "of", "to"]


def phrases_of(rng):
    # Each filler word begins more phrases than any rare word ends: the rare ones are required.
    phrases = [f"{common} {rare}" for common in FILLER[:7] for rare in RARE]
    rng.shuffle(phrases)
    return phrases


@pytest.mark.parametrize("wide", ["", "\u00e9", "\u9999", "\U00010400"])
@pytest.mark.parametrize("share", [0.0, 0.3, 0.9])
def test_texts_thick_with_rare_words_and_near_misses(wide, share):
    rng = random.Random(len(wide) * 100 + int(share * 10))
    phrases = phrases_of(rng)
    pattern = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex
    for length in (300, 1023, 1024, 1025, 1040, 3000, 9000):
        words = []
        while sum(map(len, words)) + len(words) < length:
            roll = rng.random()
            word = rng.choice(RARE + NEAR) if roll < share else rng.choice(FILLER)
            words.append(word.upper() if rng.random() < 0.2 else word)
        text = " ".join(words)[:length]
        # A character beyond ASCII somewhere sets the text's width; beside a word, it is part of it or not.
        at = rng.randrange(len(text) + 1)
        text = text[:at] + wide + text[at:]
        for variant in (text, text[1:], text[:-1], " " + text):
            assert pme._native_findall(pattern, variant) == pattern.findall(variant)


def test_rare_words_at_every_place_of_a_block():
    # A required word at each place of the 64-character blocks, the texts filled up to the chunk's end with
    # runs of word characters of every length, so that starts fall on every place the steps pack.
    phrases = phrases_of(random.Random(3))
    pattern = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex
    for shift in range(70):
        text = "x" * shift + " the zorbix " + " ".join("w" * (k % 9 + 1) for k in range(300)) + " plan kvetchy"
        for variant in (text, text.replace("w", "\u00e9"), text + "\u9999"):
            assert pme._native_findall(pattern, variant) == pattern.findall(variant)
