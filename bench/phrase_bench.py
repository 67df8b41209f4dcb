"""Throughput of the phrase-matcher engine's check against the prepared pattern's findall.

One MiB of mixed text (ASCII words, accented Latin, Greek, Cyrillic, CJK, digits, punctuation) with the
twenty default phrases, a few of them planted. Side by side: `await engine.check_input(content=text)` on the
regular-expression road (served by the native automaton), and `pattern.findall(text.lower())` on text that is
lower-cased beforehand (its lower-casing is not timed). Both must reach the same verdict.
"""

import asyncio
import os
import random
import time

os.environ.setdefault("NEMO_GUARDRAILS_NO_USAGE_STATS", "1")
os.environ.setdefault("DO_NOT_TRACK", "1")

from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine  # noqa: E402

SIZE = 1 << 20
REPEATS = 7
PREFIX = "Content contains banned phrases: "
WORDS = (
    "the quick brown fox jumps over lazy dog while users ask how to cook and make a cake at home "
    "Café naïve résumé Straße Ångström Łódź Привет мир как дела Ελληνικά κείμενο 東京 日本語 "
    "data_set version_2 42 3.14 hello, world! (really?) e-mail user@example.com hacker hackathon "
    "identity theft"  # planted: a default phrase
).split()


def mixed_text(seed=7):
    rng = random.Random(seed)
    parts, size = [], 0
    while size < SIZE:
        word = rng.choice(WORDS)
        if rng.random() < 0.3:
            word = word.upper() if rng.random() < 0.5 else word.title()
        parts.append(word)
        size += len(word.encode()) + 1
    text = " ".join(parts)
    # Trim to one MiB of UTF-8 without cutting a character.
    return text.encode()[:SIZE].decode(errors="ignore")


def best_seconds(*fns):
    """Best time of each function over REPEATS rounds, the functions alternating so that both see the same
    machine load."""
    best = [float("inf")] * len(fns)
    for _ in range(REPEATS):
        for k, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def main():
    text = mixed_text()
    megabytes = len(text.encode()) / 1e6
    engine = PhraseMatcherEngine(use_spacy=False)
    pattern = engine.banned_phrases_regex
    lowered = text.lower()

    async def engine_checks():
        return await engine.check_input(content=text)

    loop = asyncio.new_event_loop()
    try:
        result = loop.run_until_complete(engine_checks())
        matches = pattern.findall(lowered)
        engine_time, pattern_time = best_seconds(lambda: loop.run_until_complete(engine_checks()),
                                                 lambda: pattern.findall(lowered))
    finally:
        loop.close()

    # Same verdict: unsafe with the same phrases (the reason's order is not fixed, so compare as sets).
    expected = {next(p for p in engine.banned_phrases if p.lower() == m) for m in set(matches)}
    assert result.is_safe is (not matches)
    assert set(result.reason[len(PREFIX):].split(", ")) == expected, (result.reason, expected)

    engine_rate = megabytes / engine_time
    pattern_rate = megabytes / pattern_time
    print(f"text: {megabytes:.2f} MB UTF-8, {len(text)} characters, {len(matches)} matches; verdict: {result.reason}")
    print(f"{'engine.check_input (native)':<34}{engine_rate:10.1f} MB/s")
    print(f"{'pattern.findall(lowered text)':<34}{pattern_rate:10.1f} MB/s")
    print(f"ratio: {engine_rate / pattern_rate:.1f}x")


if __name__ == "__main__":
    main()
