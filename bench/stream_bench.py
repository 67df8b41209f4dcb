"""Stream checks through the manager against pure-Python loops of the same shape, ns per chunk.

100,000 short chunks from one Python async generator over pre-made chunks (the same source on both
sides), through `GuardrailManager.check_input_stream` with
  (a) no engines that apply (pass-through),
  (b) one strict phrase-matcher engine (regular-expression path),
  (c) one incremental pass-through engine written in Python,
and through Python async generators that do the same work: wrap each chunk as a GuardrailStreamChunk;
buffer, check the joined text once and release; feed the engine and re-wrap what it acknowledges.
Measurements alternate between the two sides; the best of the rounds is kept.
"""

import asyncio
import os
import time
from collections import deque

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # idle BLAS threads of imported libraries only add noise

from vadrel_guardrail import BaseGuardrailEngineConfig, GuardrailManager, GuardrailMode, PhraseMatcherEngine
from vadrel_guardrail.schema import GuardrailStreamChunk

N = 100_000
CHUNKS = [f"tok{i % 97} " for i in range(N)]
ROUNDS = 5


async def source():
    for chunk in CHUNKS:
        yield chunk


class PassThroughEngine:
    """A native streaming engine in Python: acknowledges each chunk as it comes."""

    config = BaseGuardrailEngineConfig(guardrail_mode=GuardrailMode.INPUT_ONLY)

    async def check_input(self, content, **kwargs):
        raise AssertionError("not called on streams")

    check_output = check_input

    async def check_input_stream(self, chunks, **kwargs):
        async for chunk in chunks:
            yield GuardrailStreamChunk(chunk=chunk, is_safe=True)

    check_output_stream = check_input_stream


# Python references of the same shape.

async def python_passthrough(chunks):
    async for chunk in chunks:
        if not isinstance(chunk, str):
            raise ValueError(chunk)
        yield GuardrailStreamChunk(chunk=chunk, is_safe=True)


async def python_strict(engine, chunks, max_bytes=1 << 30, max_chunks=N):
    buffered, size = [], 0
    async for chunk in chunks:
        if not isinstance(chunk, str):
            raise ValueError(chunk)
        size += len(chunk.encode())
        if size > max_bytes or len(buffered) + 1 > max_chunks:
            raise RuntimeError("cap")
        buffered.append(chunk)
    result = await engine.check_input(content="".join(buffered))
    if not result.is_safe:
        yield GuardrailStreamChunk(chunk="", is_safe=False, reason=result.reason)
        return
    for chunk in buffered:
        yield GuardrailStreamChunk(chunk=chunk, is_safe=True)


async def python_incremental(engine, chunks):
    pending = deque()

    async def feed():
        async for chunk in chunks:
            if not isinstance(chunk, str):
                raise ValueError(chunk)
            pending.append(chunk)
            yield chunk

    async for item in engine.check_input_stream(feed()):
        if item.is_safe:
            pending.popleft()
            yield GuardrailStreamChunk(chunk=item.chunk, is_safe=True)
        elif item.chunk == "":
            yield item
            return


async def drain(stream):
    n = 0
    async for item in stream:
        n += 1
    assert n == N, n


async def timed(make):
    start = time.perf_counter()
    await drain(make())
    return (time.perf_counter() - start) * 1e9 / N


async def main():
    phrase = PhraseMatcherEngine(use_spacy=False)
    incremental = PassThroughEngine()
    none_apply = GuardrailManager(PhraseMatcherEngine(
        config=BaseGuardrailEngineConfig(guardrail_mode=GuardrailMode.OUTPUT_ONLY), use_spacy=False))
    strict = GuardrailManager(phrase, max_stream_buffer_bytes=1 << 30, max_stream_buffer_chunks=N)
    streaming = GuardrailManager(incremental)

    cases = [
        ("(a) pass-through", lambda: none_apply.check_input_stream(source()), lambda: python_passthrough(source())),
        ("(b) strict phrase matcher", lambda: strict.check_input_stream(source()),
         lambda: python_strict(phrase, source())),
        ("(c) incremental Python engine", lambda: streaming.check_input_stream(source()),
         lambda: python_incremental(incremental, source())),
    ]
    source_only = min([await timed(source) for _ in range(ROUNDS)])
    print(f"{N} chunks, best of {ROUNDS} alternating rounds; the source alone costs {source_only:.0f} ns/chunk")
    print(f"  {'':32} {'manager':>10} {'Python':>10} {'Python/manager':>15}")
    for name, native, python in cases:
        best_native = best_python = float("inf")
        for _ in range(ROUNDS):
            best_native = min(best_native, await timed(native))
            best_python = min(best_python, await timed(python))
        print(f"  {name:32} {best_native:8.0f}ns {best_python:8.0f}ns {best_python / best_native:14.2f}x")


if __name__ == "__main__":
    asyncio.run(main())
