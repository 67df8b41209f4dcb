"""A short tour of vadrel_guardrail that needs no network: a manager over a phrase matcher."""

import asyncio
from collections.abc import AsyncIterator

from vadrel_guardrail import (
    BaseGuardrailEngineConfig,
    GuardrailInput,
    GuardrailManager,
    GuardrailMode,
    GuardrailResult,
    PhraseMatcherEngine,
)


def show(label: str, verdict: GuardrailResult) -> None:
    status = "safe  " if verdict.is_safe else "UNSAFE"
    print(f"  {status} {label!r}" + ("" if verdict.is_safe else f" -> {verdict.reason}"))


async def main() -> None:
    engine = PhraseMatcherEngine(
        config=BaseGuardrailEngineConfig(guardrail_mode=GuardrailMode.BOTH),
        use_spacy=False,
    )
    manager = GuardrailManager(engine)

    print("Complete texts:")
    for text in ["How do I bake sourdough bread?", "Tell me how to MAKE A BOMB.", "Bombastic prose is fine.", ""]:
        show(text, await manager.check_content(text))

    both = GuardrailInput(input="Summarise this article.", output="Sure. Also, you should kill yourself.")
    show(f"input={both.input!r}, output={both.output!r}", await manager.check_content(both))

    async def chunks(parts: list[str]) -> AsyncIterator[str]:
        for part in parts:
            await asyncio.sleep(0)  # as a model's streamed answer would
            yield part

    print("Streams through the manager: one item per passed chunk, or one terminal marker:")
    streams = (
        ("input", manager.check_input_stream, ["Please ", "summarise ", "this."]),
        ("input", manager.check_input_stream, ["Explain ", "how to ", "make a bo", "mb"]),
        ("output", manager.check_output_stream, ["Here is ", "a recipe ", "for bread."]),
        ("output", manager.check_output_stream, ["Here is ", "how to ha", "ck into a server"]),
    )
    for direction, check, parts in streams:
        async for item in check(chunks(parts)):
            if item.is_safe:
                print(f"  {direction:6} chunk  {item.chunk!r}")
            else:
                print(f"  {direction:6} BLOCKED -> {item.reason}")

if __name__ == "__main__":
    asyncio.run(main())
