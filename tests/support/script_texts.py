"""Phrases and texts made of a script's words, and the check that the native matches and the engine's verdicts
are the prepared pattern's on each text in its own, lower and upper case."""

import asyncio

from phrase_verdicts import reference_verdict

from vadrel_guardrail.engine import phrase_matcher_engine as pme


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


def texts_at_block_edges(engine, words, separators, rng, beside=""):
    """Texts of the lengths around the first block edges, and one of the engine's phrases (in capitals too)
    across each place of those edges and at the text's end; with `beside`, also right after and before it."""
    texts = [text_of(words, separators, rng, size)
             for size in [63, 64, 65, 79, 80, 81, 127, 128, 129, 143, 144, 200, 700] for _ in range(4)]
    phrase = rng.choice(engine.banned_phrases[:-1])
    filler = text_of(words, separators, rng, 300)
    for at in range(52, 150, 3):
        texts.append(filler[:at] + " " + phrase.upper() + " " + filler[at:])
        texts.append(filler[:at] + " " + phrase)
        if beside:
            texts.append(filler[:at] + beside + " " + phrase + beside + filler[at:])
    return texts


def texts_with_one_of(others, words, separators, rng, count=60):
    """Texts with one character of `others` in a block, in the 16 characters after it, or at the text's edges."""
    texts = []
    for _ in range(count):
        text = text_of(words, separators, rng, rng.choice([80, 144, 300]))
        at = rng.choice([0, 1, 40, 63, 64, 65, 70, 79, 80, 127, 128, 140, len(text) - 1, len(text)])
        texts.append(text[:at] + rng.choice(others) + text[at:])
    return texts
