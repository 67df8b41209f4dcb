"""The doubles and helpers that the stream tests share: sources, engines, and ways to read a stream."""

import asyncio

from vadrel_guardrail.constants import GuardrailMode
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig
from vadrel_guardrail.guardrail_manager import _StreamPipeline
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk

INPUT, OUTPUT, BOTH, DISABLED = (GuardrailMode.INPUT_ONLY, GuardrailMode.OUTPUT_ONLY, GuardrailMode.BOTH,
                                 GuardrailMode.DISABLED)
LOGGER = "vadrel_guardrail.guardrail_manager"
NOT_ONE_TO_ONE = ("Streaming engine yielded a safe chunk without a corresponding source chunk. "
                  "The streaming protocol requires one-to-one output.")
UNACKNOWLEDGED = ("Streaming engine finished without acknowledging all source chunks. "
                  "The streaming protocol requires one-to-one output.")


def safe(chunk, reason=None):
    return GuardrailStreamChunk(chunk=chunk, is_safe=True, reason=reason)


def marker(reason=None):
    return GuardrailStreamChunk(chunk="", is_safe=False, reason=reason)


class Source:
    """The caller's chunk iterator: records `__aiter__` calls, reads and closes; may fail on one read."""

    def __init__(self, items, fail_at=None, error=None, close_error=None, on_read=None):
        self.items = list(items)
        self.position = 0
        self.fail_at = fail_at
        self.error = error
        self.close_error = close_error
        self.on_read = on_read
        self.aiter_calls = 0
        self.aclose_calls = 0
        self.closed = False

    def __aiter__(self):
        self.aiter_calls += 1
        return self

    async def __anext__(self):
        await asyncio.sleep(0)
        if self.closed:
            raise StopAsyncIteration
        if self.fail_at is not None and self.position == self.fail_at:
            self.fail_at = None
            raise self.error
        if self.position >= len(self.items):
            raise StopAsyncIteration
        item = self.items[self.position]
        self.position += 1
        if self.on_read:
            self.on_read(self.position)
        return item

    async def aclose(self):
        self.aclose_calls += 1
        self.closed = True
        await asyncio.sleep(0)
        if self.close_error is not None:
            raise self.close_error


class Unclosable:
    """An async iterator without `aclose`."""

    def __init__(self, items):
        self.items = iter(items)

    def __aiter__(self):
        return self

    async def __anext__(self):
        try:
            return next(self.items)
        except StopIteration:
            raise StopAsyncIteration from None


class Strict:
    """A complete-text engine: unsafe when the text contains `unsafe_on`, or answering `result`, or failing."""

    def __init__(self, mode=INPUT, unsafe_on=None, reason="blocked", error=None, result=None):
        self.config = BaseGuardrailEngineConfig(guardrail_mode=mode)
        self.unsafe_on = unsafe_on
        self.reason = reason
        self.error = error
        self.result = result
        self.calls = []

    async def check_input(self, content, **kwargs):
        return await self._check("input", content, kwargs)

    async def check_output(self, content, **kwargs):
        return await self._check("output", content, kwargs)

    async def _check(self, direction, content, kwargs):
        self.calls.append((direction, content, kwargs))
        await asyncio.sleep(0)
        if self.error is not None:
            raise self.error
        if self.result is not None:
            return self.result
        if self.unsafe_on is not None and self.unsafe_on in content:
            return GuardrailResult.unsafe(self.reason)
        return GuardrailResult.safe()


# Behaviours of streaming engines: async generator functions over (engine, chunks).

async def passthrough(engine, chunks):
    async for chunk in chunks:
        engine.seen.append(chunk)
        yield safe(chunk)


async def upper(engine, chunks):
    async for chunk in chunks:
        engine.seen.append(chunk)
        yield safe(chunk.upper())


def block_on(word, reason="blocked by stream"):
    async def behaviour(engine, chunks):
        async for chunk in chunks:
            engine.seen.append(chunk)
            if word in chunk:
                yield marker(reason)
                return
            yield safe(chunk)
    return behaviour


def read_ahead(n):
    """Reads `n` chunks before acknowledging them, batch after batch."""
    async def behaviour(engine, chunks):
        batch = []
        async for chunk in chunks:
            engine.seen.append(chunk)
            batch.append(chunk)
            if len(batch) == n:
                for held in batch:
                    yield safe(held)
                batch = []
        for held in batch:
            yield safe(held)
    return behaviour


async def doubled(engine, chunks):
    async for chunk in chunks:
        engine.seen.append(chunk)
        yield safe(chunk)
        yield safe(chunk)


async def text_bearing(engine, chunks):
    async for chunk in chunks:
        engine.seen.append(chunk)
        yield GuardrailStreamChunk(chunk=chunk, is_safe=False, reason="flagged")


def fails_after(read, acknowledged, error):
    async def behaviour(engine, chunks):
        async for chunk in chunks:
            engine.seen.append(chunk)
            if len(engine.seen) == read:
                break
        for chunk in engine.seen[:acknowledged]:
            yield safe(chunk)
        raise error
    return behaviour


def stop_after(n, acknowledged=None):
    async def behaviour(engine, chunks):
        async for chunk in chunks:
            engine.seen.append(chunk)
            if len(engine.seen) == n:
                break
        for chunk in engine.seen[: n if acknowledged is None else acknowledged]:
            yield safe(chunk)
    return behaviour


async def safe_first(engine, chunks):
    yield safe("out of nowhere")
    async for chunk in chunks:
        yield safe(chunk)


class Streaming(Strict):
    """A native streaming engine whose stream operations run `behaviour`."""

    def __init__(self, behaviour=passthrough, mode=INPUT, **kwargs):
        super().__init__(mode, **kwargs)
        self.behaviour = behaviour
        self.stream_calls = []
        self.seen = []

    def check_input_stream(self, chunks, **kwargs):
        self.stream_calls.append(("input", kwargs))
        return self.behaviour(self, chunks)

    def check_output_stream(self, chunks, **kwargs):
        self.stream_calls.append(("output", kwargs))
        return self.behaviour(self, chunks)


class FullStream(Streaming):
    requires_full_stream = True


def view(items):
    return [(item.chunk, item.is_safe, item.reason) for item in items]


def texts(items):
    return [item.chunk for item in items]


async def gather(stream):
    return [item async for item in stream]


def consume(manager, source, direction=INPUT, engine_kwargs=None):
    check = manager.check_input_stream if direction == INPUT else manager.check_output_stream
    return asyncio.run(gather(check(source, engine_kwargs)))


def consume_until_error(manager, source, direction=INPUT):
    """Items received before the stream failed, and the error."""
    received = []

    async def go():
        check = manager.check_input_stream if direction == INPUT else manager.check_output_stream
        try:
            async for item in check(source):
                received.append(item)
        except BaseException as error:  # noqa: BLE001 - the test inspects it
            return error
        return None

    return received, asyncio.run(go())


def pipeline_for(manager, chunks, direction=INPUT, engine_kwargs=None):
    return _StreamPipeline(manager=manager, chunks=chunks, direction=direction,
                           engine_kwargs={} if engine_kwargs is None else engine_kwargs)
