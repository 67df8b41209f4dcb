"""The check against the prepared pattern on texts with dotted capital I (U+0130), whose lower case is two
characters: "i" and a combining dot (U+0307), which `re` takes for a non-word character. The text around such
characters is lower-cased apart, 64 characters at a time, in stretches that end where they grow apart."""

import asyncio
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from phrase_verdicts import examples

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

pytestmark = pytest.mark.against_re

PREFIX = "Content contains banned phrases: "

# Phrases that match the dotted capital's lower case whole, its "i" alone, the word after its dot, or the dot
# and that word; dotless and plain forms beside them.
PHRASES = ["i\u0307", "i", "\u0131", "i\u0307stanbul", "\u0307stanbul", "stanbul", "istanbul", "ali", "al\u0131",
           "i\u0307zmi\u0307r ve", "k\u0131z\u0131", "ab cd", "i\u0307 i\u0307"]
FILLER = ("yolu onarıyor ab cd İzmir ve Ankara ALİ alı ılık istanbul şehir kızı i\u0307 ve xİstanbul "
          "çocuklar dışarıda oynuyor İNDİRİM haftası başladığında mağazalar İLGİNÇ fiyatlar sundu ")


def reference_reason(phrases, text):
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    matches = engine.banned_phrases_regex.findall(text.lower())
    if not matches:
        return None
    detected = []
    for matched in dict.fromkeys(matches):
        detected.extend([p for p in phrases if p.lower() == matched][:1])
    return PREFIX + ", ".join(detected)


def assert_verdicts(engine, texts):
    async def checks():
        return [await engine.check_input(text) for text in texts]

    for text, result in zip(texts, asyncio.run(checks())):
        reason = reference_reason(engine.banned_phrases, text)
        assert (result.is_safe, result.reason) == (reason is None, reason), text


def test_dotted_capitals_at_every_place_of_the_blocks():
    # One, two or three dotted capitals, or one with an astral character that widens the text, at each place of
    # a text several blocks long: on the blocks' edges, at the text's start and end, and within the last 128
    # characters, which are lower-cased one by one; phrases each alone and all together.
    filler = FILLER * 2
    for phrases in ([p] for p in PHRASES[:7]), [PHRASES]:
        for chosen in phrases:
            engine = PhraseMatcherEngine(banned_phrases=chosen, use_spacy=False)
            texts = [filler[:at] + inserted + filler[at:]
                     for inserted in ("İ", "İİ", "İ İ", "\U00010400İ")
                     for at in range(0, len(filler) + 1, 1 if inserted == "İ" else 7)]
            assert_verdicts(engine, texts)


@settings(max_examples=examples(60), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.sampled_from(PHRASES), min_size=1, max_size=6),
       st.lists(st.integers(1, 1300), min_size=1, max_size=80), st.sampled_from(["İ", "İİ", "İ ", " İ"]),
       st.booleans(), st.integers(0, 2**32))
def test_stretches_that_end_where_dotted_capitals_grow_apart(phrases, gaps, inserted, astral, seed):
    # Dotted capitals at gaps from one character to past where a stretch ends (`2 * reach + 512`), over texts
    # longer than the longest stretch (32,768 characters), with the phrases planted all over and in each case.
    rng = random.Random(seed)
    text = (FILLER * (45000 // len(FILLER)))
    pieces, at = [], 0
    for gap in gaps * (40000 // sum(gaps) + 1):
        pieces.append(text[at:at + gap])
        at += gap
        if at >= len(text):
            break
        pieces.append(inserted if rng.random() < 0.9 else " " + rng.choice(phrases).upper() + " ")
    text = "".join(pieces) + ("\U00010400" if astral else "")
    many = phrases + [f"{a} {b}" for a in ("ab", "yolu", "ve", "şehir") for b in ("cd", "ankara", "ali")]
    for chosen in (phrases, many):
        assert_verdicts(PhraseMatcherEngine(banned_phrases=chosen, use_spacy=False), [text, text[1:], text.upper()])
