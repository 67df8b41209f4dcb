"""Strict full-stream buffering: the native `_buffer_source` and adapter against the same loops in Python.

Both sides read the same source (a Python async generator over pre-made chunks), so the figures
differ only by the buffering and release work. Prints ns per chunk and the ratios.
"""

import asyncio
import time

from vadrel_guardrail.constants import DEFAULT_MAX_STREAM_BUFFER_BYTES as MAX_BYTES
from vadrel_guardrail.engine.base_engine import FullStreamGuardrailAdapter, GuardrailStreamBufferLimitError, _buffer_source
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk

N = 100_000
CHUNKS = [("token%d " % i) if i % 7 else "größe€ " for i in range(N)]
REPEATS = 5


async def source():
    for chunk in CHUNKS:
        yield chunk


async def python_buffer_source(src, max_bytes, max_chunks):
    buffered = []
    current = 0
    async for chunk in src:
        attempted_bytes = current + len(chunk.encode())
        attempted_chunks = len(buffered) + 1
        if attempted_bytes > max_bytes:
            raise GuardrailStreamBufferLimitError("bytes", max_bytes, attempted_bytes)
        if attempted_chunks > max_chunks:
            raise GuardrailStreamBufferLimitError("chunks", max_chunks, attempted_chunks)
        buffered.append(chunk)
        current = attempted_bytes
    return buffered


class Engine:
    async def check_input(self, content, **kwargs):
        return GuardrailResult.safe()


async def python_adapter(engine, chunks):
    buffered = await python_buffer_source(chunks, 10 * MAX_BYTES, N)
    result = await engine.check_input(content="".join(buffered))
    if not result.is_safe:
        yield GuardrailStreamChunk(chunk="", is_safe=False, reason=result.reason)
        return
    for chunk in buffered:
        yield GuardrailStreamChunk(chunk=chunk, is_safe=True)


async def time_it(make):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        await make()
        best = min(best, time.perf_counter() - start)
    return best * 1e9 / N


async def main():
    engine = Engine()

    async def source_only():
        async for _ in source():
            pass

    async def native_buffer():
        assert len(await _buffer_source(source(), 10 * MAX_BYTES, N)) == N

    async def python_buffer():
        assert len(await python_buffer_source(source(), 10 * MAX_BYTES, N)) == N

    async def native_adapter():
        n = 0
        async for _ in FullStreamGuardrailAdapter(engine).check_input_stream(source(), 10 * MAX_BYTES, N):
            n += 1
        assert n == N

    async def python_release():
        n = 0
        async for _ in python_adapter(engine, source()):
            n += 1
        assert n == N

    rows = [
        ("source alone", await time_it(source_only)),
        ("buffer: Python loop", await time_it(python_buffer)),
        ("buffer: _buffer_source", await time_it(native_buffer)),
        ("buffer+release: Python adapter", await time_it(python_release)),
        ("buffer+release: FullStreamGuardrailAdapter", await time_it(native_adapter)),
    ]
    print(f"{N} chunks, best of {REPEATS}")
    for name, ns in rows:
        print(f"  {name:<44} {ns:8.1f} ns/chunk")
    base = rows[0][1]
    print(f"  buffering work, Python / native (source cost removed): "
          f"{(rows[1][1] - base) / max(rows[2][1] - base, 1e-9):.2f}x")
    print(f"  buffer+release, Python / native: {rows[3][1] / rows[4][1]:.2f}x")


if __name__ == "__main__":
    asyncio.run(main())
