"""The native phrase automaton against the prepared pattern's own `findall`."""

import asyncio
import random
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from phrase_verdicts import examples, reference_verdict

from vadrel_guardrail.engine import phrase_matcher_engine as pme
from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine

pytestmark = pytest.mark.against_re

# Characters where case-insensitive matching of `re` is subtle: dotted/dotless i, long s, Kelvin sign,
# sharp s and its capital, final sigma, micro sign and mu, ypogegrammeni and iota, ligatures, the
# Cyrillic forms of _casefix, a title-case digraph, a non-BMP cased letter, combining marks.
SPECIAL = "İıiIſsSKkßẞςσΣµμΜ\u0345ιΙ\u1fbeﬅﬆᲀвВǅǆǄ𐐀𐐨\u0307\u0301"
ALPHABET = st.sampled_from(
    list("abcdeklmnorsthiy") + list("ABKSI")  # ASCII letters, both cases
    + list("éèàüöñçÉÜØøåÅ")  # accented Latin
    + list("αβγΔλπωжщЯЖ東京日本한") + ["ا", "ب"]  # non-Latin scripts
    + list("0179٣")  # digits, one of them Arabic-Indic
    + ["_"]
    + list(".,;:!?+-*'\"()[]{}|\\^$#&~/")  # punctuation, regular-expression specials included
    + list(" \t\n\u00a0\u2003")  # white space
    + list(SPECIAL)
)


@st.composite
def phrases_and_text(draw):
    text = draw(st.text(ALPHABET, max_size=40))
    phrases = draw(st.lists(st.text(ALPHABET, max_size=6), min_size=1, max_size=6))
    # Phrases cut out of the text make matches likely rather than rare.
    for _ in range(draw(st.integers(0, 3))):
        if text:
            start = draw(st.integers(0, len(text) - 1))
            end = draw(st.integers(start, min(len(text), start + 8)))
            phrases.insert(draw(st.integers(0, len(phrases))), text[start:end])
    if draw(st.booleans()):
        # Case variants of a phrase: the matcher must fold them like `re` does.
        phrase = draw(st.sampled_from(phrases))
        phrases.append(draw(st.sampled_from([phrase.upper(), phrase.swapcase(), phrase.title()])))
    return phrases, text


def assert_engine_verdict(engine, text):
    result = asyncio.run(engine.check_input(text))
    reason = reference_verdict(engine, text) if engine.banned_phrases else None
    assert result.is_safe is (reason is None)
    assert result.reason == reason


SETTINGS = settings(max_examples=examples(4000), deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(phrases_and_text())
def test_native_matches_equal_findall(case):
    phrases, text = case
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    pattern = engine.banned_phrases_regex
    lowered = text.lower()
    assert pme._native_findall(pattern, lowered) == pattern.findall(lowered)
    # Text that was not lower-cased first follows the same rules.
    assert pme._native_findall(pattern, text) == pattern.findall(text)


@settings(max_examples=examples(1500), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(phrases_and_text())
def test_engine_verdict_equals_findall_verdict(case):
    phrases, text = case
    assert_engine_verdict(PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False), text)


WORDS = st.text(st.sampled_from(list("abkisſKİıßσςé东0_") + ["\u212a"]), min_size=1, max_size=4)
SEPARATORS = st.text(st.sampled_from(list(" .,+-\n") + ["\u0345"]), min_size=0, max_size=2)


def with_many(phrases, words, many):
    """The phrases, followed when `many` by enough pairs of the words to make the automaton look whole words
    up at once (it does so for long phrase lists)."""
    if not many:
        return phrases
    pairs = [f"{a}{sep}{b}" for a in words for b in words for sep in (" ", "-")]
    return phrases + (pairs * 100)[:100]


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(WORDS, min_size=1, max_size=6), st.lists(st.tuples(WORDS, SEPARATORS), min_size=1, max_size=60),
       st.integers(0, 5), st.booleans())
def test_long_texts_of_words(phrase_words, pieces, joined, many):
    # Phrases of words (the common case, served by the word-start filter) over texts long enough to span
    # several of the automaton's blocks, with phrases planted so that matches cross block edges.
    phrases = [" ".join(phrase_words[i:i + 1 + joined % 3]) for i in range(len(phrase_words))]
    phrases = with_many(phrases, [word for word, _ in pieces[:8]], many)
    text = "".join(word + sep for word, sep in pieces)
    while len(text) < 12000:
        text += text
    text = (" " + phrases[0] + " ").join([text[:4090], text[4090:8190], text[8190:]])
    pattern = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex
    for variant in (text, text.lower()):
        assert pme._native_findall(pattern, variant) == pattern.findall(variant)


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(WORDS, min_size=1, max_size=6), st.lists(st.tuples(WORDS, SEPARATORS), min_size=1, max_size=40),
       st.sampled_from(["", "é", "東", "𐐀"]), st.sampled_from(["", "İ", "Σ", "ΑΣ"]), st.integers(0, 10**6),
       st.integers(0, 10**6), st.booleans())
def test_engine_verdicts_on_long_texts_of_each_width(phrase_words, pieces, wide, special, wide_at, special_at,
                                                     many):
    # The check scans the text itself, not its lower-cased copy, in blocks: texts of one-, two- and four-byte
    # characters, with phrases planted in several cases, and now and then a character whose lower case is
    # longer (İ) or hangs on its neighbours (Σ), anywhere, also after matches.
    phrases = [" ".join(phrase_words[i:i + 2]) for i in range(len(phrase_words))]
    phrases += [phrase.upper() for phrase in phrases[:2]] + ["σα", "ας"]
    phrases = with_many(phrases, [word for word, _ in pieces[:8]], many)
    text = "".join(word + sep for word, sep in pieces)
    text = (" " + phrases[0].title() + " ").join([text, text[::-1], text])
    for insert, at in ((wide, wide_at), (special, special_at)):
        at %= len(text) + 1
        text = text[:at] + insert + text[at:]
    assert_engine_verdict(PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False), text)


@pytest.mark.parametrize(
    "phrases, text",
    [
        (["", "ab"], "ab"),  # an empty phrase matches at every boundary; findall's empty-match rule
        (["ab", ""], "ab ab"),
        ([""], " x "),
        ([""], ""),
        (["a", "ab"], "ab a"),  # the first alternative that ends on a boundary wins
        (["a b", "a"], "a b"),
        (["+"], "a+b + +"),
        (["s"], "ſ S s"),
        (["k"], "\u212a k K"),
        (["i"], "İ ı I"),
        (["ß"], "ẞ ß ss"),
        (["σ"], "ς Σ σ"),
        (["ι"], "\u0345 \u1fbe Ι x\u0345"),
        # U+0345, not a word character, matches a phrase's opening iota right after a word: in the scan's last
        # characters, and in its blocks with whole-word look-ups (many phrases).
        (["ιλα βητα"], "αλφα\u0345λα βητα"),
        (["ιλα βητα"] + [f"λογος{i} δρομος" for i in range(100)],
         "αλφα\u0345λα βητα ΙΛΑ ΒΗΤΑ λογος3 δρομος, \u0345λα βητα " * 40),
        (["ﬆ"], "ﬅ ﬆ"),
    ],
)
def test_edge_cases(phrases, text):
    pattern = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex
    for variant in (text, text.lower()):
        assert pme._native_findall(pattern, variant) == pattern.findall(variant)


def test_every_character_against_the_pattern():
    # Each probe character inside x?x against every BMP character and a sample beyond it; both the
    # raw and the lower-cased texts, so that Python's case rules are covered one character at a time.
    code_points = [c for c in range(0x10000) if not 0xD800 <= c < 0xE000] + list(range(0x10400, 0x10500))
    code_points += [0x1D400, 0x1E900, 0x1E922, 0x1F600, sys.maxunicode]
    text = " ".join("x" + chr(c) + "x" for c in code_points)
    probes = "aiskIKSß0_ µμσςιﬆвᲀǅ+é東\u0345İ𐐨"
    for probe in probes:
        pattern = PhraseMatcherEngine(banned_phrases=["x" + probe + "x"], use_spacy=False).banned_phrases_regex
        for variant in (text, text.lower()):
            assert pme._native_findall(pattern, variant) == pattern.findall(variant), probe


TURKISH = st.sampled_from(["istanbul", "İstanbul", "İSTANBUL", "ılık", "ILIK", "iğne", "İĞNE", "şehir", "kız", "İ"])
GREEK = st.sampled_from(["λόγος", "ΛΌΓΟΣ", "Λόγος", "ΟΔΟΣ", "οδός", "σοφός", "ΣΟΦΟΣ", "ΣΑΣ", "Σ", "ς", "σ"])


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.one_of(WORDS, TURKISH, GREEK), min_size=1, max_size=6),
       st.lists(st.tuples(st.one_of(WORDS, TURKISH, GREEK), SEPARATORS), min_size=1, max_size=80),
       st.lists(st.integers(0, 10**6), max_size=4), st.sampled_from(["İ", "İİ", "İ ", " İ", "\u0130x"]),
       st.booleans(), st.booleans())
def test_engine_verdicts_around_characters_whose_lower_case_grows(phrase_words, pieces, places, grown, many,
                                                               at_phrase):
    # A character whose lower case is longer (İ) is lower-cased apart, with the text around it, wherever it
    # falls: at the start or end of the text, inside or beside a match, in several places near or far from one
    # another; capital sigmas take their final form from their neighbours.
    phrases = [" ".join(phrase_words[i:i + 2]) for i in range(len(phrase_words))]
    phrases = with_many(phrases + ["i\u0307stanbul", "λόγος σοφός"], [word for word, _ in pieces[:8]], many)
    text = "".join(word + sep for word, sep in pieces)
    text = (" " + phrases[0].upper() + " ").join([text, text[::-1], text * 40])
    for at in [0, len(text)] + places:
        if at_phrase:
            found = text.upper().find(phrases[0].upper())
            at = found + at % (len(phrases[0]) + 2) if found >= 0 else at
        at %= len(text) + 1
        text = text[:at] + grown + text[at:]
    assert_engine_verdict(PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False), text)


def fresh(text):
    """An equal text that is another object (a reloaded configuration's)."""
    return (text + "\x00")[:-1]


@settings(max_examples=examples(150), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(WORDS, min_size=1, max_size=6), st.lists(st.tuples(WORDS, SEPARATORS), min_size=1, max_size=40),
       st.booleans(), st.randoms(use_true_random=False))
def test_engine_verdicts_after_rebinding_the_phrases(phrase_words, pieces, many, rng):
    # The phrases are read anew at each check: rebound to a tuple, to equal texts as new objects, to a list
    # reordered, cut, grown or re-cased, or changed in place, the reason names them as they are now.
    phrases = [" ".join(phrase_words[i:i + 2]) for i in range(len(phrase_words))]
    phrases = with_many(phrases, [word for word, _ in pieces[:8]], many)
    text = "".join(word + sep for word, sep in pieces)
    text = (" " + phrases[0].title() + " ").join([text, text[::-1], text])
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)

    def rebind(current):
        shuffled = list(current)
        rng.shuffle(shuffled)
        choices = [
            tuple(current),
            [fresh(p) for p in current],
            shuffled,
            current[: len(current) // 2],
            current + [p.upper() for p in current[:3]],
            [p.upper() if rng.random() < 0.5 else p for p in current],
            [fresh(p) for p in current] + ["x" * 20],
        ]
        return rng.choice(choices)

    for _ in range(4):
        if rng.random() < 0.3 and isinstance(engine.banned_phrases, list) and engine.banned_phrases:
            engine.banned_phrases[rng.randrange(len(engine.banned_phrases))] = rng.choice(phrases).swapcase()
        else:
            engine.banned_phrases = rebind(list(engine.banned_phrases))
        for _ in range(2):  # the same binding again, now remembered
            assert_engine_verdict(engine, text)


@settings(max_examples=examples(60), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.lists(st.sampled_from(["a", "a", "a", "ab", "b", "A", "İ", "σ"]), min_size=1, max_size=12),
                min_size=1, max_size=8),
       st.lists(st.sampled_from(["a", "a", "a", "a", "ab", "b", "B", "İ", "Σ", "ς"]), min_size=1, max_size=50),
       st.sampled_from([" ", "-", ". "]), st.booleans())
def test_phrases_whose_words_repeat_in_the_text(phrase_words, text_words, separator, many):
    # Long phrases whose words the text repeats make walks from each word start read the same words again and
    # again; the scan then goes on with failure links, reading each character once, and must find the same.
    phrases = [separator.join(words) for words in phrase_words]
    phrases = with_many(phrases, ["a", "b", "ab"], many)
    text = separator.join(text_words * (20000 // len(text_words) + 1))
    pattern = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex
    for variant in (text, text.lower()):
        assert pme._native_findall(pattern, variant) == pattern.findall(variant)
    assert_engine_verdict(PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False), text)


@pytest.mark.parametrize("seed", range(3))
def test_long_texts_where_one_phrase_repeats_its_word(seed):
    # Once walks reread the text, the scan goes on with failure links, keeping the states it meets in a table of
    # bounded size that starts over when full: a text that meets many states must still find what `findall` finds,
    # also where a character whose lower case grows stops that scan midway.
    rng = random.Random(seed)
    words = ["".join(rng.choice("abcdeghk") for _ in range(rng.randint(2, 7))) for _ in range(400)]
    phrases = [" ".join(["a"] * 12 + ["b"])] + [f"{rng.choice(words)} {rng.choice(words)}" for _ in range(300)]
    body = " ".join(rng.choice(words + ["a"] * 50) for _ in range(10000))
    text = "a " * 3000 + body + " " + phrases[1].upper()
    pattern = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex
    for variant in (text, text.lower()):
        assert pme._native_findall(pattern, variant) == pattern.findall(variant)
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    for variant in (text, text[:len(text) // 2] + "İ" + text[len(text) // 2:]):
        assert_engine_verdict(engine, variant)


FILLER = ["the", "new", "plan", "will", "cover", "staff", "year", "caf\u00e9", "\u4e1c\u4eac", "\u2014", "x"]
RARE = st.text(st.sampled_from(list("bkqsz\u017f\u212a\u00df\u03c3\u03c2\u00e90_") + ["\u0131"]), min_size=1, max_size=7)


@settings(max_examples=examples(200), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(st.lists(st.sampled_from(FILLER), max_size=2), RARE, st.sampled_from([" ", "-", ", "])),
                min_size=1, max_size=8),
       st.lists(st.tuples(st.integers(0, 7), st.sampled_from([0, 63, 64, 1000, 1023, 1024, 1040, 2047, 10**6]),
                          st.integers(-3, 3), st.sampled_from(["lower", "upper", "title", "kelvin"])), max_size=12),
       st.sampled_from(["", "\u0130", "\U00010400", "\u03a3"]), st.integers(0, 10**6), st.booleans(), st.booleans())
def test_texts_where_few_words_can_start_a_match(shapes, planted, special, special_at, dense, many):
    # Phrases whose later words the text seldom holds: the scan looks at the text's words first and runs the
    # automaton only just before the ones that phrases require. Matches at the text's start and end, on the
    # edges of its blocks, next to one another, with the required word repeated or in another case, and
    # among so many that the scan gives up looking first.
    phrases = [" ".join(first + [rare]) if sep == " " else sep.join(first + [rare]) for first, rare, sep in shapes]
    phrases += [phrases[0].split()[-1] + " " + phrases[-1]]  # a required word twice, at two distances
    phrases += [" ".join(FILLER[:5] * 5) + " " + shapes[-1][1]]  # one that starts far before its required word
    phrases = with_many(phrases, FILLER[:4], many)
    rng = random.Random(len(planted) * 31 + special_at)
    text = " ".join(rng.choice(FILLER) for _ in range(700))
    assert_planted_texts(phrases, text, planted * (30 if dense else 1), special, special_at)


PLANTED_CASES = {"lower": str.lower, "upper": str.upper, "title": str.title,
                 "kelvin": lambda p: p.replace("k", "\u212a").replace("s", "\u017f")}


def assert_planted_texts(phrases, text, planted, special, special_at):
    """Plants the phrases in the text (phrase index, place, shift, case), puts `special` in, and checks the
    matches and the engine's verdict against the pattern."""
    for index, at, shift, case in planted:
        at = max(0, min(len(text), at + shift))
        text = text[:at] + " " + PLANTED_CASES[case](phrases[index % len(phrases)]) + " " + text[at:]
    special_at %= len(text) + 1
    text = text[:special_at] + special + text[special_at:]
    pattern = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex
    for variant in (text, text.lower(), text.strip()):
        assert pme._native_findall(pattern, variant) == pattern.findall(variant)
    assert_engine_verdict(PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False), text.strip())


GREEK_WORDS = ["λογος", "ΛΟΓΟΣ", "λόγος", "δρομους", "ΔΡΟΜΟΥΣ", "νομος", "ΝΟΜΟΣ", "σας", "ΣΑΣ", "ος", "Σ", "τους"]


@settings(max_examples=examples(100), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.lists(st.sampled_from(GREEK_WORDS), min_size=1, max_size=3), min_size=1, max_size=8),
       st.lists(st.lists(st.tuples(st.sampled_from(GREEK_WORDS + ["ΛΟΓΟΣΑ", "x"]),
                                   st.sampled_from([" ", "  ", ". ", "'", "-", ""])), min_size=1, max_size=30),
                min_size=2, max_size=6))
def test_one_automaton_over_texts_that_repeat_its_words(phrase_words, texts):
    # An automaton keeps the answers of its word look-ups from text to text: the same words, from the same
    # places in the trie, met again in other cases, followed by other characters, and at the text's ends.
    phrases = [" ".join(words).lower() for words in phrase_words]
    phrases = with_many(phrases, [w.lower() for w in GREEK_WORDS[:6]], True)
    engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
    pattern = engine.banned_phrases_regex
    for pieces in texts:
        text = "".join(word + sep for word, sep in pieces)
        text = (text + " ") * (100 // len(text) + 1)
        for variant in (text, text.strip(), text.lower()):
            assert pme._native_findall(pattern, variant) == pattern.findall(variant)
        assert_engine_verdict(engine, text.strip())


def test_texts_of_many_distinct_words():
    # More distinct look-ups (a word from a place in the trie) than the automaton keeps answers for: answers
    # are replaced as the text goes on, and each must still be the one for its own word and place.
    rng = random.Random(7)
    words = sorted({"".join(rng.choice("abdeghkmoprstuy") for _ in range(rng.randint(1, 6))) for _ in range(300)})
    phrases = [f"{rng.choice(words)} {rng.choice(words)}" for _ in range(2000)]
    phrases += [f"{rng.choice(words)} {rng.choice(words)} {rng.choice(words)}" for _ in range(2000)]
    text = " ".join(rng.choice(words) for _ in range(20000))
    pattern = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex
    for variant in (text, text.upper()):
        assert pme._native_findall(pattern, variant) == pattern.findall(variant)


DOTTED = ["i\u0307", "i", "\u0131", "I", "\u0130", "i\u0307stanbul", "\u0307stanbul", "kızı", "şehi\u0307"]


@settings(max_examples=examples(40), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.one_of(TURKISH, st.sampled_from(DOTTED)), min_size=2, max_size=8),
       st.lists(st.tuples(st.one_of(WORDS, TURKISH), SEPARATORS), min_size=4, max_size=40),
       st.integers(1, 12), st.lists(st.tuples(st.integers(0, 10**6), st.sampled_from([str.upper, str.title, str])),
                                    min_size=1, max_size=16),
       st.sampled_from([0, 64, 1024]), st.booleans())
def test_long_texts_thick_with_dotted_capitals(phrase_words, pieces, every, planted, ascii_run, many):
    # Texts many times longer than the stretches that are lower-cased apart, with a dotted capital I every few
    # words (down to every word), a run of ASCII now and then, and phrases planted all over, each in its own
    # case: matches on the edges between stretches, and within or beside the dotted capitals' lower cases.
    phrases = [" ".join(pair) for pair in zip(phrase_words, phrase_words[1:])] + phrase_words
    # The words after a dotted capital, with the capital's lower case and with a plain i: only the first match.
    phrases += [i + word.lower() for word, _ in pieces[:4] for i in ("i\u0307", "i")]
    phrases = with_many([p.lower() for p in phrases], [word for word, _ in pieces[:8]], many)
    words = [("İ" if k % every == 0 else "") + word + sep for k, (word, sep) in enumerate(pieces)]
    words.append("a" * ascii_run + " ")
    rng = random.Random(every * 1000 + len(pieces))
    text = "".join(rng.choice(words) for _ in range(90000 // max(4, sum(map(len, words)) // len(words))))
    for k, (at, case) in enumerate(planted):
        at %= len(text) + 1
        text = text[:at] + " " + case(phrases[k % len(phrases)]) + " " + text[at:]
    assert_engine_verdict(PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False), text)


LATIN1_FILLER = ["the", "new", "plan", "will", "cover", "staff", "year", "caf\u00e9", "x", "-", "__"]
LONG_RARE = st.text(st.sampled_from(list("bkqsz0_\u00e9\u9999\ud55c") + ["\u017f", "\u212a"]), min_size=4, max_size=9)


@settings(max_examples=examples(200), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(st.lists(st.sampled_from(LATIN1_FILLER[:7]), max_size=2), LONG_RARE), min_size=1, max_size=6),
       st.lists(st.tuples(st.integers(0, 5), st.sampled_from([0, 15, 16, 31, 32, 63, 64, 1008, 1023, 1024, 1039, 1040,
                                                                2047, 2048, 10**6]),
                          st.integers(-2, 2), st.sampled_from(["lower", "upper", "title", "kelvin"])), max_size=10),
       st.sampled_from(["", "\u00e9", "\u4e1c", "\U00010400"]), st.integers(0, 10**6), st.booleans())
def test_long_required_words_in_texts_of_each_width(shapes, planted, wide, wide_at, many):
    # Required words of four characters or more, which the scan tells apart by their first four characters, in
    # texts of one, two and four bytes a character, at the edges of the blocks that the scan reads at once
    # (16, 32 and 64 characters) and of its chunks, and with characters beyond ASCII in and around them (two-byte
    # ones above 0x7FFF among them).
    phrases = [" ".join(first + [rare]) for first, rare in shapes]
    phrases = with_many(phrases, LATIN1_FILLER[:4], many)
    rng = random.Random(len(planted) * 7 + wide_at)
    text = " ".join(rng.choice(LATIN1_FILLER) for _ in range(800))
    assert_planted_texts(phrases, text, planted, wide, wide_at)
