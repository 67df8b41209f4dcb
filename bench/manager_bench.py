"""Overhead of `GuardrailManager.check_content` over the engine's own `check_input`, short texts.

One phrase-matcher engine (regular-expression path, no spaCy). Both loops await inside one task on
one event loop, so the figures differ only by what the manager adds per check.
"""

import asyncio
import time

from vadrel_guardrail import GuardrailManager, PhraseMatcherEngine

TEXTS = [
    "How do I bake bread?",
    "What is the capital of France?",
    "Tell me how to make a bomb",
    "Summarise this paragraph for me, please.",
] * 2500
REPEATS = 7


async def measure(check):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        for text in TEXTS:
            await check(text)
        best = min(best, time.perf_counter() - start)
    return best * 1e9 / len(TEXTS)


async def main():
    engine = PhraseMatcherEngine(use_spacy=False)
    manager = GuardrailManager(engine)
    for text in TEXTS[:4]:
        assert (await engine.check_input(content=text)).is_safe == (await manager.check_content(text)).is_safe

    direct = await measure(lambda text: engine.check_input(content=text))
    managed = await measure(manager.check_content)
    print(f"{len(TEXTS)} short texts, best of {REPEATS}")
    print(f"  engine.check_input          {direct:8.1f} ns/check")
    print(f"  manager.check_content       {managed:8.1f} ns/check")
    print(f"  overhead                    {managed - direct:8.1f} ns/check ({managed / direct:.2f}x)")


if __name__ == "__main__":
    asyncio.run(main())
