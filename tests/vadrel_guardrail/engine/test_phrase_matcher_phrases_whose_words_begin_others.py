"""Walks that go on past a whole word looked up at once: the step after the word, and the pruning once a match is
in hand, against the prepared pattern's own `findall`."""

import asyncio

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from phrase_verdicts import examples

from vadrel_guardrail.engine import phrase_matcher_engine as pme
from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

pytestmark = pytest.mark.against_re

PREFIX = "Content contains banned phrases: "

# Words that begin other words: a word's node in the trie then has edges on letters beside the one on a space.
WORDS = ["ο", "οι", "οικ", "του", "τους", "τουσ", "της", "σ", "a", "ab", "abc", "b", "k", "\u212a"]
SEPARATORS = [" ", "  ", ", ", ",", "-", ". ", "\n", " \u0345"]
# Enough pairs of the words to make the automaton look whole words up, for short phrase lists too.
FILLER = [f"{a} {b}" for a in WORDS for b in WORDS][:150]


def reference_verdict(engine, text):
    matches = engine.banned_phrases_regex.findall(text.lower())
    if not matches:
        return None
    # A match that equals no phrase's text (a final sigma read as another sigma) names none.
    detected = (next((p for p in engine.banned_phrases if p.lower() == m), None) for m in dict.fromkeys(matches))
    return PREFIX + ", ".join(p for p in detected if p is not None)


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.lists(st.sampled_from(WORDS), min_size=1, max_size=3), min_size=1, max_size=8),
       st.sampled_from(["before", "after", "alone"]),
       st.lists(st.tuples(st.sampled_from(WORDS + ["οικος", "xyz"]), st.sampled_from(SEPARATORS)), min_size=1,
                max_size=40),
       st.sampled_from([str, str.upper, str.title]), st.integers(0, 200))
def test_phrases_whose_words_begin_other_words(phrase_words, filler_at, pieces, case, shift):
    # Phrases that hold one another ("του", "του της", "του της ο") in either order, so that a walk past a
    # match goes on or stops by the list order; texts that cross the scan's blocks at every offset
    # (`shift`), with matches at both ends.
    phrases = [" ".join(words) for words in phrase_words]
    phrases += [" ".join(words[:k]) for words in phrase_words for k in range(1, len(words))][::2]
    if filler_at == "before":
        phrases = FILLER + phrases
    elif filler_at == "after":
        phrases = phrases + FILLER
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    pattern = engine.banned_phrases_regex
    text = case("".join(word + sep for word, sep in pieces))
    text = "x" * shift + " " + (text * (300 // len(text) + 1))
    for variant in (text, text.strip(), text[shift + 1:].strip(), text.lower()):
        assert pme._native_findall(pattern, variant) == pattern.findall(variant)
    result = asyncio.run(engine.check_input(text))
    assert result.reason == reference_verdict(engine, text)
