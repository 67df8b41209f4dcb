"""C++ readers of async iterators: the direct path between C++ generators and the generic one."""

import asyncio
import gc
import sys
import weakref

import pytest

import _pyasync_testing as t


def run(coro):
    return asyncio.run(coro)


async def py_source(values, sleep_every=0):
    for i, v in enumerate(values):
        if sleep_every and i % sleep_every == 0:
            await asyncio.sleep(0)
        yield v


class PySuffix:
    """An async iterator that is not a generator, wrapping another."""

    def __init__(self, source):
        self.source = source

    def __aiter__(self):
        return self

    async def __anext__(self):
        return f"{await anext(self.source)}+py"


def live_bridge_objects():
    return sum(1 for o in gc.get_objects() if type(o).__module__ == "pyasync")


class TestPaths:
    def test_direct_only_for_bridge_generators(self):
        async def main():
            return (await t.is_direct(t.count(1)), await t.is_direct(py_source([1])), await t.is_direct(PySuffix(None)))

        assert run(main()) == (True, False, False)

    def test_generic_python_sources(self):
        assert run(t.collect(py_source(["a", "b"], sleep_every=1))) == ["a", "b"]
        assert run(t.collect(PySuffix(py_source(["x"])))) == ["x+py"]
        with pytest.raises(TypeError):
            run(t.collect(42))

    def test_chain_of_cpp_generators_over_cpp_source(self):
        chain = t.add_suffix(t.passthrough(t.add_suffix(t.count(3), "-a")), "-b")
        assert run(t.collect(chain)) == ["0-a-b", "1-a-b", "2-a-b"]

    def test_chain_over_python_source_with_suspensions(self):
        async def main():
            source = py_source([f"s{i}" for i in range(6)], sleep_every=2)
            chain = t.passthrough(t.add_suffix(t.passthrough(source), "!"))
            return [x async for x in chain]

        assert run(main()) == [f"s{i}!" for i in range(6)]

    def test_mixed_python_and_cpp_stages(self):
        async def py_stage(src):
            async for x in src:
                yield x.upper()

        chain = t.add_suffix(py_stage(t.add_suffix(t.awaiting_count(3), "x")), "y")
        assert run(t.collect(chain)) == ["0Xy", "1Xy", "2Xy"]

    def test_suspensions_of_inner_stages_reach_the_loop(self):
        async def main():
            ticks = 0
            done = False

            async def ticker():
                nonlocal ticks
                while not done:
                    ticks += 1
                    await asyncio.sleep(0)

            tk = asyncio.create_task(ticker())
            got = await t.collect(t.passthrough(t.passthrough(t.awaiting_count(20))))
            done = True
            await tk
            return got, ticks

        got, ticks = run(main())
        assert got == list(range(20)) and ticks >= 20  # the loop ran between inner sleeps

    def test_cpp_only_generators(self):
        assert run(t.sum_cpp_chain(5)) == 20

    def test_take_then_close_each_kind(self):
        log = []

        async def py_guarded():
            try:
                for i in range(10):
                    yield i
            finally:
                log.append("py closed")

        async def main():
            a = await t.take(t.guarded_gen(10, log), 2)
            b = await t.take(py_guarded(), 3)
            c = await t.take(t.passthrough(t.guarded_gen(10, log)), 1)
            return a, b, c

        assert run(main()) == ([0, 1], [0, 1, 2], [0])
        # The outer passthrough was closed at its co_await of next(): GeneratorExit went no
        # further than its frame, whose destruction then closed the inner generator.
        assert log == ["GeneratorExit", "guard", "py closed", "GeneratorExit", "guard"]

    def test_dropped_cpp_only_generator_is_closed(self):
        log = []
        run(t.drop_cpp_gen(log))
        assert log == ["GeneratorExit", "guard"]

    def test_errors_cross_stages_unchanged(self):
        exc = ArithmeticError("deep")
        with pytest.raises(ArithmeticError) as info:
            run(t.collect(t.passthrough(t.passthrough(t.raise_after(2, exc)))))
        assert info.value is exc

    def test_pep479_in_a_direct_stage(self):
        with pytest.raises(RuntimeError, match="async generator raised StopAsyncIteration"):
            run(t.collect(t.passthrough(t.raise_stop(True))))

    def test_concurrent_direct_readers_rejected(self):
        async def main():
            g = t.awaiting_count(3)
            return await asyncio.gather(t.collect(g), t.collect(g), return_exceptions=True)

        results = run(main())
        assert any(isinstance(r, RuntimeError) and "already running" in str(r) for r in results)

    def test_cancel_in_the_middle_of_a_chain(self):
        log = []

        async def main():
            inner = t.guarded_wait_gen(asyncio.Event().wait(), log)
            task = asyncio.create_task(t.collect(t.passthrough(t.passthrough(inner))))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        run(main())
        # CancelledError went in at the innermost frame's await and unwound every stage.
        assert log == ["CancelledError", "guard"]


class TestLeaks:
    def test_items_and_frames_released(self):
        class Item:
            pass

        refs = []

        def make(n):
            items = [Item() for _ in range(n)]
            refs.extend(weakref.ref(i) for i in items)
            return items

        async def main():
            for _ in range(50):
                assert await t.count_items(t.passthrough(t.passthrough(t.items(make(20))))) == 20
                assert await t.count_items(t.passthrough(py_source(make(5), sleep_every=2))) == 5
                await t.take(t.passthrough(t.items(make(5))), 2)
                async for _ in t.passthrough(t.items(make(3))):
                    break

        baseline = live_bridge_objects()
        run(main())
        gc.collect()
        assert all(r() is None for r in refs)
        assert live_bridge_objects() <= baseline

    def test_memory_flat_over_many_iterations(self):
        import tracemalloc

        async def work():
            for _ in range(200):
                await t.count_items(t.passthrough(t.add_suffix(t.awaiting_count(10), "s")))
                await t.collect(t.items(["a", "b"]))

        async def main():
            await work()  # warm up caches and free lists
            gc.collect()
            tracemalloc.start()
            before = tracemalloc.get_traced_memory()[0]
            await work()
            gc.collect()
            after = tracemalloc.get_traced_memory()[0]
            tracemalloc.stop()
            return after - before

        assert run(main()) < 64 * 1024


class OneShot:
    """An async iterator that refuses a second __aiter__."""

    def __init__(self, values):
        self.values = list(values)
        self.aiter_calls = 0
        self.closed = False

    def __aiter__(self):
        self.aiter_calls += 1
        if self.aiter_calls > 1:
            raise AssertionError("__aiter__ called again")
        return self

    async def __anext__(self):
        if not self.values:
            raise StopAsyncIteration
        return self.values.pop(0)

    async def aclose(self):
        self.closed = True


class TestPublicSurface:
    def test_is_async_gen(self):
        async def py_gen():
            yield 1

        assert t.is_async_gen(t.count(1))
        assert not t.is_async_gen(py_gen())
        coroutine = t.named_task()
        assert not t.is_async_gen(coroutine)  # a bridge coroutine is not one
        coroutine.close()

    def test_iterator_read_as_it_is(self):
        it = OneShot("ab").__aiter__()
        assert run(t.collect_iterator(it)) == (["a", "b"], False)
        assert run(t.collect_iterator(t.count(3))) == ([0, 1, 2], True)

    def test_step_by_step_then_close(self):
        log = []
        it = OneShot("abc")
        assert run(t.take_steps(it, 2)) == ["a", "b"] and it.closed
        assert run(t.take_steps(t.guarded_gen(5, log), 2)) == [0, 1]
        assert log == ["GeneratorExit", "guard"]
        assert run(t.take_steps(OneShot(""), 1)) == []

    def test_clean_up_after_an_error_then_raise_it(self):
        log = []

        async def source():
            try:
                for i in range(5):
                    yield i
            finally:
                log.append("closed")

        async def main():
            got = []
            with pytest.raises(RuntimeError, match="relay failed"):
                async for x in t.relay_then_close(source(), 2):
                    got.append(x)
            return got

        assert run(main()) == [0, 1]
        assert log == ["closed"]  # closed by the relay, before the error went on
        with pytest.raises(ArithmeticError):
            run(t.collect(t.relay_then_close(t.raise_after(1, ArithmeticError()))))


class TestCollector:
    """Reference cycles through what frames hold are collected, as with Python's generators."""

    @staticmethod
    def cycles(relay, n=50):
        log = []

        class Owner:
            async def source(self):
                try:
                    for i in range(10):
                        yield i
                finally:
                    log.append("closed")

        async def main():
            refs = []
            for _ in range(n):
                owner = Owner()
                owner.stream = relay(owner.source())
                await anext(owner.stream)
                refs.append(weakref.ref(owner))
                del owner
            gc.collect()
            await asyncio.sleep(0)  # the loop's finalizer hook closes the streams
            await asyncio.sleep(0)
            gc.collect()
            return sum(r() is not None for r in refs)

        return run(main()), log

    def test_held_locals_are_seen(self):
        alive, log = self.cycles(t.relay_then_close)
        assert alive == 0 and log == ["closed"] * 50

    def test_cpp_only_frames_inside_held_readers_are_seen(self):
        alive, log = self.cycles(t.relay_through_cpp)
        assert alive == 0 and log == ["closed"] * 50

    def test_readers_handed_over_as_parameters_are_seen(self):
        alive, log = self.cycles(t.relay_reader)
        assert alive == 0 and log == ["closed"] * 50


    def test_awaits_in_flight_are_seen(self):
        log = []

        async def waits_forever():
            try:
                yield 0
                await asyncio.get_running_loop().create_future()
            finally:
                log.append("closed")

        async def consume(stream):
            async for _ in stream:
                pass

        async def main():
            refs = []
            for _ in range(50):
                task = asyncio.ensure_future(consume(t.relay_then_close(waits_forever())))
                await asyncio.sleep(0)
                await asyncio.sleep(0)
                refs.append(weakref.ref(task))
                del task
            gc.collect()
            for _ in range(3):
                await asyncio.sleep(0)
            gc.collect()
            return sum(r() is not None for r in refs), len(log)

        assert run(main()) == (0, 50)

class TestDepth:
    """Frames run directly: constant stack per item, and Python's recursion limit for nesting."""

    def test_many_unsuspended_items_through_a_chain(self):
        n = 100_000
        assert run(t.count_items(t.passthrough(t.passthrough(t.count(n))))) == n
        assert run(t.count_items(t.nested_gens(3, n))) == n

    def test_nesting_counts_as_python_frames_do(self):
        async def py_tasks(depth):
            return 0 if depth == 0 else await py_tasks(depth - 1) + 1

        async def py_gens(depth):
            if depth == 0:
                yield 0
                return
            async for x in py_gens(depth - 1):
                yield x

        async def outcome(awaitable):
            try:
                await awaitable
            except RecursionError:
                return RecursionError

        limit = sys.getrecursionlimit()
        for depth in (limit // 2, 2 * limit):
            python = (run(outcome(py_tasks(depth))), run(outcome(t.collect(py_gens(depth)))))
            bridge = (run(outcome(t.nested_tasks(depth))), run(outcome(t.collect(t.nested_gens(depth, 1)))))
            assert bridge == python
        assert python == (RecursionError, RecursionError)
