"""C++ async generators (pyasync.AsyncGen) seen from Python."""

import asyncio
import collections.abc
import gc
import sys
import weakref

import pytest

import _pyasync_testing as t


def run(coro):
    return asyncio.run(coro)


async def alist(agen):
    return [x async for x in agen]


class TestIteration:
    def test_is_an_async_generator_to_abc(self):
        g = t.count(1)
        assert isinstance(g, collections.abc.AsyncGenerator)
        assert g.__aiter__() is g
        aw = g.__anext__()
        assert aw.__await__() is aw
        aw.close()

    def test_async_for(self):
        assert run(alist(t.count(5))) == [0, 1, 2, 3, 4]
        assert run(alist(t.count(0))) == []

    def test_awaits_inside_pass_through_to_the_loop(self):
        g = t.awaiting_count(2)
        step = g.__anext__()
        assert step.send(None) is None  # asyncio.sleep(0)'s bare yield
        with pytest.raises(StopIteration) as stop:
            step.send(None)
        assert stop.value.value == 0
        with pytest.raises(RuntimeError, match="cannot reuse"):
            step.send(None)
        assert run(alist(t.awaiting_count(4))) == [0, 1, 2, 3]

    def test_each_item_in_a_stop_iteration_of_its_own(self):
        g = t.items([1, 2, 3])
        stops = []
        for _ in range(3):
            with pytest.raises(StopIteration) as stop:
                g.__anext__().__next__()
            stops.append(stop.value)
        assert [(stop.value, stop.args) for stop in stops] == [(1, (1,)), (2, (2,)), (3, (3,))]

    def test_tuple_and_exception_items(self):
        exc = ValueError("item")
        assert run(alist(t.items([(1, 2), exc, ()]))) == [(1, 2), exc, ()]

    def test_anext_builtin_and_exhaustion(self):
        async def main():
            g = t.count(1)
            first = await anext(g)
            default = await anext(g, "done")
            with pytest.raises(StopAsyncIteration):
                await g.__anext__()
            return first, default

        assert run(main()) == (0, "done")

    def test_asend_values_reach_co_yield(self):
        async def main():
            g = t.echo_gen()
            first = await g.asend(None)
            answers = [await g.asend(v) for v in ("a", (1, 2), None)]
            await g.aclose()
            return first, answers

        assert run(main()) == ("ready", [("got", "a"), ("got", (1, 2)), ("got", None)])

    def test_non_none_asend_to_a_fresh_generator(self):
        async def main():
            g = t.echo_gen()
            with pytest.raises(TypeError, match="just-started"):
                await g.asend(1)

        run(main())

    def test_cycle_through_a_parameter_is_collected(self):
        holder = []
        g = t.passthrough(holder)
        holder.append(g)
        r = weakref.ref(g)
        del g, holder
        gc.collect()
        assert r() is None

    def test_names_and_weakrefs(self):
        g = t.count(1)
        assert g.__name__ == "count" and "count" in repr(g)
        g.__qualname__ = "X.count"
        assert g.__qualname__ == "X.count"
        r = weakref.ref(g)
        del g
        gc.collect()
        assert r() is None


class TestThrowAndClose:
    def test_aclose_at_suspended_yield(self):
        log = []

        async def main():
            g = t.guarded_gen(10, log)
            assert await anext(g) == 0
            assert await g.aclose() is None
            with pytest.raises(StopAsyncIteration):
                await anext(g)
            assert await g.aclose() is None  # again: nothing left to do

        run(main())
        assert log == ["GeneratorExit", "guard"]

    def test_aclose_before_start_and_after_end(self):
        log = []

        async def main():
            g = t.guarded_gen(1, log)
            await g.aclose()
            assert await alist(g) == []
            h = t.guarded_gen(1, log)
            assert await alist(h) == [0]
            await h.aclose()

        run(main())
        assert log == ["end", "guard"]  # only h's body ever ran

    def test_athrow_at_suspended_yield(self):
        log = []

        async def main():
            g = t.guarded_gen(10, log)
            await anext(g)
            exc = KeyError("into the body")
            with pytest.raises(KeyError) as info:
                await g.athrow(exc)
            assert info.value is exc
            with pytest.raises(StopAsyncIteration):
                await anext(g)

        run(main())
        assert log == ["KeyError", "guard"]

    def test_athrow_handled_yields_next_item(self):
        async def main():
            g = t.recover_gen()
            assert await anext(g) == 0
            assert await g.athrow(ValueError("x")) == "recovered"
            assert await anext(g) == 1
            with pytest.raises(TypeError):
                await g.athrow(TypeError("not handled"))

        run(main())

    def test_athrow_before_start_and_after_end(self):
        async def main():
            g = t.count(3)
            with pytest.raises(KeyError):
                await g.athrow(KeyError("early"))
            assert await alist(g) == []
            assert await g.athrow(KeyError("late")) is None

        run(main())

    def test_ignored_generator_exit(self):
        log = []

        async def main():
            g = t.ignore_exit(log)
            await anext(g)
            with pytest.raises(RuntimeError, match="async generator ignored GeneratorExit"):
                await g.aclose()
            return g

        g = run(main())
        # asyncio.run's shutdown_asyncgens() tries once more, and logs the same refusal.
        assert log == ["GeneratorExit", "GeneratorExit"]
        del g
        gc.collect()

    def test_ignored_generator_exit_on_collection_is_unraisable(self):
        log = []
        g = t.ignore_exit(log)
        with pytest.raises(StopIteration):
            g.__anext__().send(None)
        with pytest.raises(RuntimeError):  # via sys.unraisablehook, which pytest turns into a warning
            unraisable = []
            old, sys.unraisablehook = sys.unraisablehook, unraisable.append
            try:
                del g
                gc.collect()
            finally:
                sys.unraisablehook = old
            raise unraisable[0].exc_value
        assert log == ["GeneratorExit"]

    def test_cleanup_may_await_under_aclose(self):
        log = []

        async def main():
            g = t.async_cleanup_gen(log)
            await anext(g)
            await g.aclose()

        run(main())
        assert log == ["cleaned"]

    def test_cancelled_while_awaiting_inside(self):
        log = []

        async def consume():
            async for _ in t.guarded_gen(3, log):
                await asyncio.sleep(10)

        async def main():
            task = asyncio.create_task(consume())
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        run(main())
        # The consumer was cancelled, so the loop closes the generator for it.
        assert log == ["GeneratorExit", "guard"]


class TestGuards:
    def test_concurrent_anext_rejected(self):
        async def main():
            g = t.awaiting_count(3)
            first = g.__anext__()
            assert first.send(None) is None  # now in flight
            assert g.ag_running
            second = g.__anext__()
            with pytest.raises(RuntimeError, match="anext\\(\\): asynchronous generator is already running"):
                second.send(None)
            with pytest.raises(RuntimeError, match="aclose\\(\\): asynchronous generator is already running"):
                g.aclose().send(None)
            with pytest.raises(StopIteration):
                first.send(None)
            assert not g.ag_running
            await g.aclose()

        run(main())

    def test_concurrent_readers_through_gather(self):
        async def main():
            g = t.awaiting_count(3)
            return await asyncio.gather(alist(g), alist(g), return_exceptions=True)

        results = run(main())
        errors = [r for r in results if isinstance(r, RuntimeError)]
        assert len(errors) == 1 and "already running" in str(errors[0])

    @pytest.mark.parametrize("async_kind, name", [(False, "StopIteration"), (True, "StopAsyncIteration")])
    def test_pep479(self, async_kind, name):
        async def main():
            g = t.raise_stop(async_kind)
            assert await anext(g) == 0
            with pytest.raises(RuntimeError, match=f"async generator raised {name}") as info:
                await anext(g)
            assert type(info.value.__cause__).__name__ == name

        run(main())

    def test_error_after_items(self):
        exc = OSError("late")

        async def main():
            out = []
            with pytest.raises(OSError) as info:
                async for x in t.raise_after(2, exc):
                    out.append(x)
            return out, info.value

        out, err = run(main())
        assert out == [0, 1] and err is exc


class TestHooks:
    def test_firstiter_and_finalizer_hooks(self):
        seen = []
        old = sys.get_asyncgen_hooks()
        sys.set_asyncgen_hooks(firstiter=lambda g: seen.append(("first", g.__name__)),
                               finalizer=lambda g: seen.append(("final", g.__name__)))
        try:
            g = t.count(3)
            step = g.__anext__()
            with pytest.raises(StopIteration):
                step.send(None)
            del step, g
            gc.collect()
        finally:
            sys.set_asyncgen_hooks(*old)
        assert seen == [("first", "count"), ("final", "count")]

    def test_shutdown_asyncgens_closes_abandoned(self):
        log = []

        async def main():
            g = t.guarded_gen(10, log)
            await anext(g)
            main.keep = g  # abandoned, yet alive until the loop shuts down

        run(main())  # asyncio.run ends with loop.shutdown_asyncgens()
        assert log == ["GeneratorExit", "guard"]
        del main.keep

    def test_collected_unfinished_closed_by_loop_finalizer(self):
        log = []

        async def main():
            g = t.async_cleanup_gen(log)
            await anext(g)
            del g
            gc.collect()
            for _ in range(5):
                await asyncio.sleep(0)
            return list(log)

        assert run(main()) == ["cleaned"]  # the loop's aclose() let it await in cleanup

    def test_collected_without_hooks_closes_synchronously(self):
        log = []
        g = t.guarded_gen(10, log)
        step = g.__anext__()
        with pytest.raises(StopIteration):
            step.send(None)
        del step, g
        gc.collect()
        assert log == ["GeneratorExit", "guard"]

    def test_never_iterated_is_quiet(self):
        log = []
        g = t.guarded_gen(3, log)
        del g
        gc.collect()
        assert log == []
