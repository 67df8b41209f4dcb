"""Texts where every phrase has matched early and much text follows: the check may end its scan there, and its
verdict must stay the prepared pattern's whatever the rest holds — matches whose lower case is no phrase (a
small sigma where the phrase ends in a final one, a long s), which a list rebound after the pattern was made
may name; dotted capitals, whose lower case is longer, right after that point; duplicates and phrases equal up
to case in the list."""

import asyncio

import pytest
from phrase_verdicts import reference_verdict

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

pytestmark = pytest.mark.against_re

FILLER = "και το πλοιο πηγε στο λιμανι χθες το βραδυ "
# The phrases, each matched in its own case; the lists hold duplicates and phrases equal up to case.
LISTS = [
    ["λογος", "δρομος", "class"],
    ["Λογος", "λογος", "ΛΟΓΟΣ", "δρομος", "δρομος", "CLASS", "class"],
    ["#λογος", "δρομος", "class"],  # a phrase that opens with a non-word character: matches start anywhere
    ["λογος", "δρομος", "class", "i\u0307stanbul"],  # found only where the text is lowered apart
]
HEAD = "ΛΟΓΟΣ και ΔΡΟΜΟΣ, Class. #ΛΟΓΟΣ "
# What follows: matches whose lower case is no phrase, or the phrases again, dotted capitals among them.
TAILS = [
    "λογοσ ΛΟΓΟΣΑ δρομοσ claſſ ",
    "İ λογοσ İSTANBUL claſſ ",
    "ΛΟΓΟσ' ΔΡΟΜΟΥΣ İ #λογοσ ",
    "İstanbul ıstanbul istanbul ",
]
# Lists the engine may be given after its pattern was made: items lowering to a text that is no phrase (named
# only by such a list), the same items in another order, or as other objects.
REBOUND = [
    lambda phrases: phrases + ["λογοσ", "CLAſſ", "δρομοσ"],
    lambda phrases: ["claſſ", "#λογοσ"] + phrases,
    lambda phrases: list(reversed(phrases)),
    lambda phrases: tuple(p.upper().lower() for p in phrases),
]


def texts():
    """The head, then filler up to and across the places where the scan may first end, then a tail."""
    out = []
    for tail in TAILS:
        for gap in (0, 8150, 8192 - len(HEAD), 24560 - len(HEAD), 40000):
            filler = (FILLER * (gap // len(FILLER) + 1))[:gap]
            out.append(HEAD + filler + tail + FILLER * 3)
            out.append(HEAD + filler + tail)
            out.append(filler + HEAD + tail * 2)
    # Dotted capitals from the start: the head is found in stretches lowered apart.
    out += ["İSTANBUL " + HEAD + FILLER * 500 + tail for tail in TAILS]
    out += ["İ" * 40 + " İSTANBUL " + HEAD + FILLER * 500 + tail for tail in TAILS]
    return out


async def assert_verdicts(engine, checked):
    for text in checked:
        result = await engine.check_input(text)
        reason = reference_verdict(engine, text)
        assert (result.is_safe, result.reason) == (reason is None, reason), (len(text), text[-60:])


@pytest.mark.parametrize("phrases", LISTS)
def test_the_rest_of_the_text_after_every_phrase_matched(phrases):
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    asyncio.run(assert_verdicts(engine, texts()))


@pytest.mark.parametrize("rebind", range(len(REBOUND)))
@pytest.mark.parametrize("phrases", LISTS)
def test_lists_rebound_after_the_pattern(phrases, rebind):
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    checked = texts()

    async def run():
        await assert_verdicts(engine, checked[:3])
        engine.banned_phrases = REBOUND[rebind](list(phrases))
        await assert_verdicts(engine, checked)
        engine.banned_phrases = list(phrases)  # back to the pattern's own list
        await assert_verdicts(engine, checked)

    asyncio.run(run())


@pytest.mark.parametrize("boundary", [8192, 24576])
def test_a_match_across_a_piece_edge_before_a_dotted_capital(boundary):
    # The text is scanned in pieces; a match that runs past a piece's end is reported there, and a dotted capital
    # soon after makes the scan go back over a stretch lowered apart, which must not start inside that match.
    engine = PhraseMatcherEngine(banned_phrases=["aa bb", "bb", "zz"], use_spacy=False)
    filler = "κι ενα " * (boundary // 7 + 1)
    checked = []
    for crossing in range(-5, 3):
        head = filler[:boundary + crossing - 3] + " "
        for after in range(1, 100, 3):
            checked.append(head + "aa bb" + " " * after + "İ ok")
            checked.append(head + "aa bb" + " " * after + "İ zz")
    asyncio.run(assert_verdicts(engine, checked))


@pytest.mark.parametrize("boundary", [8192, 24576])
def test_a_match_in_the_text_itself_that_its_lower_case_undoes(boundary):
    # `re` takes the dotted capital for an "i" in "XİY", but the text's lower case holds "xi\u0307y": a match
    # that runs into the next piece and reads one is not final, even when it would be the last phrase found.
    engine = PhraseMatcherEngine(banned_phrases=["aa", "xiy"], use_spacy=False)
    filler = "κι ενα " * (boundary // 7 + 1)
    checked = ["aa " + filler[:boundary + shift - 3] + " XİY ok" for shift in range(-4, 4)]
    asyncio.run(assert_verdicts(engine, checked))
