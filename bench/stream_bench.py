"""Stream checks through the manager against two Python pipelines of the same shape.

Speed: 100,000 short chunks from one Python async generator over pre-made chunks (the same source on
every side), through `GuardrailManager.check_input_stream`, through `lean_check` below, the least Python
that does the same job (per incremental stage a feed that tests each chunk is text and records it as
pending, the engine's own stream, and a loop that takes one pending chunk off per safe item; per strict
segment buffer, join, check, release), and through `PythonPipeline` below, which
does the same work the same way in Python: a validated source (text test, one chunk of look-ahead,
closed once), strict segments that buffer under the caps, check the joined text and release, stage
runners that record every chunk fed to a stage as pending and take one off for each safe item, the
string feeds between stages and the last level that makes the items again. The engines are cheap on
purpose, so that the figures are those of the pipeline itself: a strict engine answers a ready verdict, an
incremental one acknowledges each chunk with a ready safe item carrying the same text.

Configurations: no engine; 1, 3 and 10 strict engines (adjacent, so one strict segment); 1, 3 and 10
incremental engines; 10 engines alternating strict and incremental. Measurements alternate between the
sides; the best of the rounds is kept.

Floor (`--floor`): what one incremental stage is made of, side by side: the source alone, one hop through a
Python async generator that passes its items on, one hop through a stage runner's feed (a bridge
generator doing the same), the engine alone over the source, a stage runner over the engine, the lean
pipeline and the manager, and the cost of one stream item made natively beside the two Python ways to make it
(validated by pydantic, and `model_construct`).

Memory: open streams with one strict engine, each asked for its first item and waiting on its source
after one chunk (so every stage is running), against the same number of raw sources waiting in the same
way; the difference per stream, from the process's resident size.
"""

import asyncio
import gc
import os
import sys
import time
from collections import deque

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # idle BLAS threads of imported libraries only add noise

from vadrel_guardrail import BaseGuardrailEngineConfig, GuardrailManager, GuardrailMode, GuardrailResult
from vadrel_guardrail.engine.base_engine import GuardrailStreamBufferLimitError, GuardrailStreamValidationError
from vadrel_guardrail.guardrail_manager import _StageRunner, _StreamPipeline
from vadrel_guardrail.schema import GuardrailStreamChunk

N = 100_000
WORDS = [f"tok{i} " for i in range(97)]
CHUNKS = [WORDS[i % 97] for i in range(N)]
ROUNDS = 5
OPEN_STREAMS = 10_000

CONFIG = BaseGuardrailEngineConfig(guardrail_mode=GuardrailMode.INPUT_ONLY)
SAFE = GuardrailResult.safe()
ACKNOWLEDGED = {word: GuardrailStreamChunk(chunk=word, is_safe=True) for word in WORDS}


async def source():
    for chunk in CHUNKS:
        yield chunk


class StrictEngine:
    """A complete-text engine with a ready answer."""

    config = CONFIG

    async def check_input(self, content, **kwargs):
        return SAFE

    check_output = check_input


class IncrementalEngine(StrictEngine):
    """A native streaming engine: acknowledges each chunk as it comes, with a ready item."""

    def check_input_stream(self, chunks, **kwargs):
        return self._stream(chunks)

    check_output_stream = check_input_stream

    async def _stream(self, chunks):
        async for chunk in chunks:
            yield ACKNOWLEDGED[chunk]


# The Python pipeline of the same shape.

STOP = StopAsyncIteration


class Terminated(Exception):
    def __init__(self, terminal):
        super().__init__(terminal.reason or "Stream blocked")
        self.terminal = terminal


class PyValidatedSource:
    def __init__(self, chunks):
        self._source = chunks.__aiter__()
        self.any_chunk = False
        self._closed = False
        self._buffered_chunk = None
        self._has_buffer = False

    def __aiter__(self):
        return self

    async def __anext__(self):
        if self._closed:
            raise STOP
        if self._has_buffer:
            self._has_buffer = False
            return self._buffered_chunk
        return await self._next()

    async def peek(self):
        if self._closed:
            raise STOP
        if not self._has_buffer:
            self._buffered_chunk = await self._next()
            self._has_buffer = True
        return self._buffered_chunk

    async def _next(self):
        item = await self._source.__anext__()
        if not isinstance(item, str):
            raise GuardrailStreamValidationError(f"Stream chunks must be strings. Got: {type(item)}")
        self.any_chunk = True
        return item

    async def aclose(self):
        if self._closed:
            return
        self._closed, self._has_buffer, self._buffered_chunk = True, False, None
        close = getattr(self._source, "aclose", None)
        if close is not None:
            try:
                await close()
            except Exception:
                pass


class PyRunner:
    def __init__(self, manager, stage, source):
        self._manager, self._stage, self._source = manager, stage, source
        self._pending = deque()
        self._terminal_emitted = False
        self._enforce_pending_limit = getattr(stage, "is_incremental", False)

    async def run(self):
        try:
            async for item in self._stage(self._source_iter()):
                if await self._process_item(item):
                    yield item
                    return
                yield item
        except (Terminated, GuardrailStreamValidationError):
            await self._close_source()
            raise
        except Exception as error:
            async for item in self._handle_error(error):
                yield item
        if self._enforce_pending_limit and not self._terminal_emitted and self._pending:
            await self._close_source()
            raise GuardrailStreamValidationError("unacknowledged")

    async def _process_item(self, item):
        if not item.is_safe:
            if item.chunk == "":
                self._terminal_emitted = True
                await self._close_source()
                return True
            return False
        if not self._pending:
            raise GuardrailStreamValidationError("no source chunk")
        self._pending.popleft()
        return False

    async def _source_iter(self):
        async for chunk in self._source:
            self._pending.append(chunk)
            if self._enforce_pending_limit and len(self._pending) > self._manager.max_stream_buffer_chunks:
                raise GuardrailStreamBufferLimitError("chunks", self._manager.max_stream_buffer_chunks,
                                                      len(self._pending))
            yield chunk

    async def _handle_error(self, error):
        await self._close_source()
        yield GuardrailStreamChunk(chunk="", is_safe=False, reason=f"Error checking content: {error}")

    async def _close_source(self):
        close = getattr(self._source, "aclose", None)
        if close is not None:
            await close()


class PythonPipeline:
    def __init__(self, manager, chunks):
        self._manager = manager
        self._source = PyValidatedSource(chunks)

    async def run(self):
        try:
            engines = self._manager.engines
            if not engines:
                async for chunk in self._source:
                    yield GuardrailStreamChunk(chunk=chunk, is_safe=True)
            else:
                try:
                    await self._source.peek()
                except STOP:
                    return
                chain = self._run_stages(self._source, self._build_stages(engines), 0)
                try:
                    async for item in chain:
                        yield item
                except Terminated as signal:
                    yield signal.terminal
        finally:
            await self._source.aclose()

    def _build_stages(self, engines):
        stages, strict_run = [], []
        for engine in engines:
            if hasattr(engine, "check_input_stream") and not getattr(engine, "requires_full_stream", False):
                if strict_run:
                    stages.append(self._strict_stage(list(strict_run)))
                    strict_run.clear()
                stage = self._incremental_stage(engine)
                stage.is_incremental = True
                stages.append(stage)
            else:
                strict_run.append(engine)
        if strict_run:
            stages.append(self._strict_stage(list(strict_run)))
        return stages

    def _strict_stage(self, engines):
        max_bytes, max_chunks = self._manager.max_stream_buffer_bytes, self._manager.max_stream_buffer_chunks

        async def stage(source):
            buffered, size = [], 0
            async for chunk in source:
                size += len(chunk.encode())
                if size > max_bytes:
                    raise GuardrailStreamBufferLimitError("bytes", max_bytes, size)
                if len(buffered) + 1 > max_chunks:
                    raise GuardrailStreamBufferLimitError("chunks", max_chunks, len(buffered) + 1)
                buffered.append(chunk)
            joined = "".join(buffered)
            for engine in engines:
                result = await engine.check_input(content=joined)
                if not result.is_safe:
                    yield GuardrailStreamChunk(chunk="", is_safe=False, reason=result.reason)
                    return
            for chunk in buffered:
                yield GuardrailStreamChunk(chunk=chunk, is_safe=True)

        return stage

    def _incremental_stage(self, engine):
        def stage(source):
            return engine.check_input_stream(source)

        return stage

    async def _run_stages(self, source, stages, index):
        if index >= len(stages):
            async for chunk in source:
                yield GuardrailStreamChunk(chunk=chunk, is_safe=True)
            return
        current_output = PyRunner(self._manager, stages[index], source).run()

        async def string_feed():
            try:
                async for item in current_output:
                    if not item.is_safe and item.chunk == "":
                        raise Terminated(item)
                    if item.is_safe:
                        yield item.chunk
            finally:
                await current_output.aclose()

        rest_output = self._run_stages(string_feed(), stages, index + 1)
        try:
            async for item in rest_output:
                yield item
        finally:
            await rest_output.aclose()


# The least Python that does the same job: per incremental stage, a feed that checks each chunk is text and
# records it as pending, the engine's own stream over it, and a loop that takes one pending chunk off for each
# safe item and yields the item; per strict segment: buffer, join, check, release. A level reads the texts
# of the level before.


class LeanValidation(Exception):
    pass


async def lean_incremental(engine, upstream, texts):
    pending = deque()

    async def feed():
        async for chunk in upstream:
            if texts:
                chunk = chunk.chunk
            if type(chunk) is not str:
                raise LeanValidation(type(chunk))
            pending.append(chunk)
            yield chunk

    async for item in engine.check_input_stream(feed()):
        if item.is_safe:
            pending.popleft()
        yield item
        if not item.is_safe and not item.chunk:
            return


async def lean_strict(engines, upstream, texts):
    buffered = []
    async for chunk in upstream:
        if texts:
            chunk = chunk.chunk
        if type(chunk) is not str:
            raise LeanValidation(type(chunk))
        buffered.append(chunk)
    joined = "".join(buffered)
    for engine in engines:
        result = await engine.check_input(content=joined)
        if not result.is_safe:
            yield GuardrailStreamChunk(chunk="", is_safe=False, reason=result.reason)
            return
    for chunk in buffered:
        yield GuardrailStreamChunk(chunk=chunk, is_safe=True)


async def lean_pass(chunks):
    async for chunk in chunks:
        if type(chunk) is not str:
            raise LeanValidation(type(chunk))
        yield GuardrailStreamChunk(chunk=chunk, is_safe=True)


def lean_check(manager, chunks):
    stream, texts, strict_run = chunks, False, []
    for engine in manager.engines:
        if isinstance(engine, IncrementalEngine):
            if strict_run:
                stream, texts, strict_run = lean_strict(strict_run, stream, texts), True, []
            stream, texts = lean_incremental(engine, stream, texts), True
        else:
            strict_run.append(engine)
    if strict_run:
        stream, texts = lean_strict(strict_run, stream, texts), True
    return stream if texts else lean_pass(stream)


async def python_check(manager, chunks):
    stream = PythonPipeline(manager, chunks).run()
    try:
        async for item in stream:
            yield item
    finally:
        await stream.aclose()


# Measurement.

async def drain(stream):
    n = 0
    async for _ in stream:
        n += 1
    assert n == N, n


async def timed(make):
    start = time.perf_counter()
    await drain(make())
    return (time.perf_counter() - start) * 1e9 / N


def configurations():
    strict, incremental = StrictEngine, IncrementalEngine
    return [
        ("no engine", [StrictEngine()], GuardrailMode.OUTPUT_ONLY),
        ("1 strict", [strict()], None),
        ("3 strict", [strict() for _ in range(3)], None),
        ("10 strict", [strict() for _ in range(10)], None),
        ("1 incremental", [incremental()], None),
        ("3 incremental", [incremental() for _ in range(3)], None),
        ("10 incremental", [incremental() for _ in range(10)], None),
        ("10 alternating", [(strict if i % 2 == 0 else incremental)() for i in range(10)], None),
    ]


def manager_for(engines, mode):
    if mode is not None:  # engines of the other direction: none applies
        engines = [type(engine)() for engine in engines]
        for engine in engines:
            engine.config = BaseGuardrailEngineConfig(guardrail_mode=mode)
    return GuardrailManager(engines, max_stream_buffer_bytes=1 << 30, max_stream_buffer_chunks=N)


class PyManager:
    """The settings the Python pipeline reads, and the engines that apply."""

    def __init__(self, manager):
        self.engines = [e for e in manager.engines if e.config.guardrail_mode == GuardrailMode.INPUT_ONLY]
        self.max_stream_buffer_bytes = manager.max_stream_buffer_bytes
        self.max_stream_buffer_chunks = manager.max_stream_buffer_chunks


async def speed():
    source_only = min([await timed(source) for _ in range(ROUNDS)])
    print(f"{N} chunks, best of {ROUNDS} alternating rounds; the source alone costs {source_only:.0f} ns/chunk")
    print(f"  {'':18} {'manager':>9} {'lean':>9} {'Python':>9} {'lean/manager':>13} {'Python/manager':>15}")
    for name, engines, mode in configurations():
        manager = manager_for(engines, mode)
        python_manager = PyManager(manager)
        best_native = best_lean = best_python = float("inf")
        for _ in range(ROUNDS):
            best_native = min(best_native, await timed(lambda: manager.check_input_stream(source())))
            best_lean = min(best_lean, await timed(lambda: lean_check(python_manager, source())))
            best_python = min(best_python, await timed(lambda: python_check(python_manager, source())))
        print(f"  {name:18} {best_native:7.0f}ns {best_lean:7.0f}ns {best_python:7.0f}ns "
              f"{best_lean / best_native:12.2f}x {best_python / best_native:14.2f}x")


async def floor():
    async def relay(items):
        async for item in items:
            yield item

    engine = IncrementalEngine()
    manager = manager_for([engine], None)
    python_manager = PyManager(manager)
    sides = {
        "the source alone": source,
        "a Python async generator hop": lambda: relay(source()),
        "a bridge generator hop (runner feed)": lambda: _StageRunner(manager, None, source())._source_iter(),
        "the engine alone": lambda: engine.check_input_stream(source()),
        "a stage runner over the engine": lambda: _StageRunner(manager, engine.check_input_stream, source()).run(),
        "lean pipeline, 1 incremental": lambda: lean_check(python_manager, source()),
        "manager, 1 incremental": lambda: manager.check_input_stream(source()),
    }
    best = dict.fromkeys(sides, float("inf"))
    for _ in range(ROUNDS):
        for name, make in sides.items():
            best[name] = min(best[name], await timed(make))

    def per_call(call):
        start = time.perf_counter()
        for _ in range(N):
            call()
        return (time.perf_counter() - start) * 1e9 / N

    def item_cost(make):
        return min(per_call(make) - per_call(int) for _ in range(ROUNDS))

    # What one item costs, made and freed: made natively, and the two Python ways to make the same record.
    items = {
        "one stream item made natively": _StreamPipeline._empty_content_marker,
        "the same item validated by pydantic": lambda: GuardrailStreamChunk(chunk="", is_safe=False, reason="r"),
        "the same item by model_construct": lambda: GuardrailStreamChunk.model_construct(
            chunk="", is_safe=False, reason="r"),
    }
    print(f"{N} chunks, best of {ROUNDS} alternating rounds")
    for name, ns in best.items():
        print(f"  {name:40} {ns:7.0f} ns/chunk")
    for name, make in items.items():
        print(f"  {name:40} {item_cost(make):7.0f} ns")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


async def open_streams(make_stream, skip=0):
    """Memory per open stream: each is asked for an item and waits on its source, which has yielded one chunk."""
    gate = asyncio.Event()

    async def waiting_source():
        yield "a"
        await gate.wait()

    gc.collect()
    before = resident_bytes()
    held = []
    for _ in range(OPEN_STREAMS):
        stream = make_stream(waiting_source())
        for _ in range(skip):
            await anext(stream)
        held.append((stream, asyncio.ensure_future(anext(stream))))
    for _ in range(3):
        await asyncio.sleep(0)
    gc.collect()
    used = resident_bytes() - before
    return used / OPEN_STREAMS, gate, held


async def memory():
    manager = GuardrailManager(StrictEngine())
    # The raw source is read past its chunk, so that it waits where the checked one does.
    raw, raw_gate, raw_held = await open_streams(lambda chunks: chunks, skip=1)
    streams, gate, held = await open_streams(manager.check_input_stream)
    print(f"memory per open stream with one strict engine: {streams - raw:.0f} bytes above its raw source "
          f"({OPEN_STREAMS} streams; a raw source alone {raw:.0f} bytes)")
    for g, h in ((raw_gate, raw_held), (gate, held)):
        g.set()
        await asyncio.gather(*(first for _, first in h), return_exceptions=True)
        for stream, _ in h:
            await stream.aclose()


async def main():
    if "--floor" in sys.argv[1:]:
        await floor()
        return
    if "--memory" not in sys.argv[1:]:
        await speed()
    await memory()


if __name__ == "__main__":
    asyncio.run(main())
