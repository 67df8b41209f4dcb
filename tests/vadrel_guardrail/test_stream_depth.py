"""Streams at depth: long unsuspended streams, streams that recurse into their own manager, and
streams dropped inside reference cycles."""

import asyncio
import gc
import sys
import weakref

import pytest
from effort import scaled

from vadrel_guardrail import GuardrailManager
from vadrel_guardrail.constants import GuardrailMode
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk

CHUNKS = 100_000


class Strict:
    """A complete-text engine that finds everything safe."""

    def __init__(self, mode=GuardrailMode.INPUT_ONLY):
        self.config = BaseGuardrailEngineConfig(guardrail_mode=mode)
        self.checked = []

    async def check_input(self, content, **kwargs):
        self.checked.append(len(content))
        return GuardrailResult.safe()

    async def check_output(self, content, **kwargs):
        return await self.check_input(content)


class Incremental(Strict):
    """A native streaming engine that acknowledges each chunk as it reads it."""

    def check_input_stream(self, chunks, **kwargs):
        return self.relay(chunks)

    check_output_stream = check_input_stream

    @staticmethod
    async def relay(chunks):
        async for chunk in chunks:
            yield GuardrailStreamChunk(chunk=chunk, is_safe=True)


class Runaway(BaseException):
    """Past any recursion limit: no error policy may take it for the engine's failure."""


class Reentrant(Incremental):
    """A streaming engine whose stream operation hands its stream back to its own manager."""

    def __init__(self, **settings):
        super().__init__()
        self.manager = GuardrailManager(engine=self, **settings)
        self.levels = 0

    def check_input_stream(self, chunks, **kwargs):
        self.levels += 1
        if self.levels > 2 * sys.getrecursionlimit():
            raise Runaway(self.levels)
        return self.manager.check_input_stream(chunks)

    async def check_input(self, content, **kwargs):
        return await self.manager.check_content(content)


# The paths a stream takes through the pipeline, by the engines it meets.
PATHS = {
    "pass-through": lambda: [Strict(GuardrailMode.OUTPUT_ONLY)],
    "strict": lambda: [Strict()],
    "incremental": lambda: [Incremental()],
    "incremental then strict": lambda: [Incremental(), Strict()],
    "strict, incremental, strict": lambda: [Strict(), Incremental(), Strict()],
}


async def unsuspended(n):
    """The caller's source: every chunk is ready at once."""
    for _ in range(n):
        yield "x"


async def chunks(*texts):
    for text in texts:
        await asyncio.sleep(0)
        yield text


def gather(stream):
    async def go():
        return [item async for item in stream]

    return asyncio.run(go())


def count_safe(manager, source):
    async def go():
        n = 0
        async for item in manager.check_input_stream(source):
            assert item.is_safe
            n += 1
        return n

    return asyncio.run(go())


class TestLongStreams:
    """Any number of chunks in constant stack, however the build was optimised."""

    @pytest.mark.parametrize("path", PATHS)
    def test_unsuspended_chunks(self, path):
        engines = PATHS[path]()
        manager = GuardrailManager(engine=engines, max_stream_buffer_chunks=CHUNKS, max_stream_buffer_bytes=CHUNKS)
        assert count_safe(manager, unsuspended(CHUNKS)) == CHUNKS
        for engine in engines:
            assert not engine.checked or engine.checked == [CHUNKS]


class TestRecursion:
    """A stream that recurses into its own manager ends at Python's recursion limit, as a check does."""

    @pytest.fixture(autouse=True)
    def recursion_limit(self):
        # Every level of a failing check logs a traceback as deep as the levels above it, so the work grows with
        # the square of the limit: the sanitizer pass recurses less deep.
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(scaled(limit, minimum=250))
        yield
        sys.setrecursionlimit(limit)

    def test_error_policy_ends_the_stream(self):
        engine = Reentrant()
        reason = asyncio.run(engine.manager.check_content("a b")).reason
        assert reason == "Error checking content: maximum recursion depth exceeded"
        items = gather(engine.manager.check_input_stream(chunks("a", " b")))
        assert [(item.chunk, item.is_safe, item.reason) for item in items] == [("", False, reason)]

    def test_raised_when_listed(self):
        engine = Reentrant(raise_on_exceptions=(RecursionError,))
        with pytest.raises(RecursionError):
            gather(engine.manager.check_input_stream(chunks("a", " b")))
        with pytest.raises(RecursionError):
            asyncio.run(engine.manager.check_content("a b"))


DROPPED = 500


class TestCollection:
    """Streams dropped inside reference cycles are collected and their sources closed, as plain async
    generators are."""

    @staticmethod
    def collect(make_cycle):
        """Makes DROPPED cycles on one loop, drops them and collects: how many live on, and how many of
        their sources were closed."""
        closed = []

        async def source(wait_forever):
            try:
                yield "a"
                if wait_forever:
                    await asyncio.get_running_loop().create_future()
                yield "b"
            finally:
                closed.append(True)

        async def go():
            refs = [await make_cycle(source) for _ in range(DROPPED)]
            gc.collect()
            for _ in range(5):  # the loop's finalizer hook closes what the collector found
                await asyncio.sleep(0)
            gc.collect()
            return sum(ref() is not None for ref in refs), len(closed)

        return asyncio.run(go())

    # A strict stage reads the whole source at the first item: these paths stop in the middle of it.
    @pytest.mark.parametrize("path", ["pass-through", "incremental"])
    def test_object_streaming_its_own_generator(self, path):
        manager = GuardrailManager(engine=PATHS[path]())

        class Owner:
            def __init__(self, source):
                self.source = source
                self.stream = manager.check_input_stream(self.chunks())

            async def chunks(self):
                async for chunk in self.source(False):
                    yield chunk

        async def make_cycle(source):
            owner = Owner(source)
            await anext(owner.stream)
            return weakref.ref(owner)

        assert self.collect(make_cycle) == (0, DROPPED)

    @pytest.mark.parametrize("path", PATHS)
    def test_consuming_task_left_waiting(self, path):
        manager = GuardrailManager(engine=PATHS[path]())

        async def consume(stream):
            async for _ in stream:
                pass

        async def make_cycle(source):
            task = asyncio.ensure_future(consume(manager.check_input_stream(source(True))))
            for _ in range(5):
                await asyncio.sleep(0)
            return weakref.ref(task)

        assert self.collect(make_cycle) == (0, DROPPED)
