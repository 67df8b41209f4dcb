"""C++ coroutines (pyasync.Task) seen from Python: protocol, scheduling, exceptions, cancellation."""

import asyncio
import collections.abc
import gc
import traceback
import warnings
import weakref

import pytest

import _pyasync_testing as t


async def later(value, ticks=1):
    for _ in range(ticks):
        await asyncio.sleep(0)
    return value


async def fail_with(exc):
    await asyncio.sleep(0)
    raise exc


def run(coro):
    return asyncio.run(coro)


class TestProtocol:
    def test_is_a_coroutine_to_asyncio_and_abc(self):
        c = t.echo_await(1)
        assert asyncio.iscoroutine(c)
        assert isinstance(c, collections.abc.Coroutine)
        assert c.__await__() is c
        assert iter(c) is c
        c.close()

    def test_body_starts_lazily_at_first_send(self):
        log = []
        c = t.void_task(log)
        assert log == []
        assert not c.cr_suspended
        yielded = c.send(None)  # asyncio.sleep(0) yields a bare None
        assert yielded is None and log == [] and c.cr_suspended
        with pytest.raises(StopIteration) as stop:
            c.send(None)
        assert stop.value.value is None and log == ["ran"]
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            c.send(None)

    def test_driven_by_hand_with_next(self):
        c = t.sleep_loop(3)
        assert [next(c), next(c), next(c)] == [None, None, None]
        with pytest.raises(StopIteration) as stop:
            next(c)
        assert stop.value.value == 3

    def test_non_none_first_send_rejected(self):
        c = t.sleep_loop(1)
        with pytest.raises(TypeError, match="just-started"):
            c.send(1)
        c.close()

    def test_names_default_and_settable(self):
        c = t.echo_await(1)
        assert c.__name__ == "echo_await" and c.__qualname__ == "echo_await"
        c.__qualname__ = "Outer.echo_await"
        assert c.__qualname__ == "Outer.echo_await"
        assert "Outer.echo_await" in repr(c)
        with pytest.raises(TypeError):
            c.__name__ = 3
        c.close()
        n = t.named_task()
        assert (n.__name__, n.__qualname__) == ("custom_name", "Custom.custom_name")
        n.close()

    def test_weak_references(self):
        c = t.echo_await(1)
        r = weakref.ref(c)
        assert r() is c
        c.close()
        del c
        assert r() is None

    # A warning that a finaliser raises cannot fail a test (it is unraisable): the warnings are recorded instead.
    @pytest.mark.parametrize(
        ("before_dropping", "expected"),
        [
            (lambda c: None, ["coroutine 'sleep_loop' was never awaited"]),
            (lambda c: c.close(), []),
            (lambda c: pytest.raises(KeyError, c.throw, KeyError("k")), []),
        ],
        ids=["dropped", "closed before it began", "thrown in before it began"],
    )
    def test_only_a_coroutine_never_begun_nor_ended_warns(self, before_dropping, expected):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            c = t.sleep_loop(1)
            before_dropping(c)
            del c
            gc.collect()
        assert [str(w.message) for w in caught if w.category is RuntimeWarning] == expected

    def test_running_guard(self):
        async def reenter():
            with pytest.raises(ValueError, match="already executing"):
                holder[0].send(None)
            assert holder[0].cr_running
            return "ok"

        holder = [None]
        holder[0] = t.echo_await(reenter())
        assert run(holder[0]) == "ok"
        assert not holder[0].cr_running


class TestResults:
    def test_plain_values(self):
        assert run(t.echo_await(later("x"))) == "x"
        assert run(t.return_int(4)) == 8

    def test_tuple_result_is_not_unpacked(self):
        assert run(t.return_tuple()) == (1, "two")
        c = t.return_tuple()
        with pytest.raises(StopIteration) as stop:
            c.send(None)
        assert stop.value.value == (1, "two")

    def test_exception_instance_result_is_returned_not_raised(self):
        exc = ValueError("as a value")
        assert run(t.return_exception(exc)) is exc
        assert run(t.echo_await(later(exc))) is exc

    def test_void_task_returns_none(self):
        log = []
        assert run(t.void_task(log)) is None and log == ["ran"]

    def test_awaiting_immediate_and_many_awaitables(self):
        loop_future_values = run(t.await_all([later(1, 0), later(2, 3), asyncio.sleep(0, "s")]))
        assert loop_future_values == [1, 2, "s"]

    def test_awaiting_a_future(self):
        async def main():
            fut = asyncio.get_running_loop().create_future()
            asyncio.get_running_loop().call_soon(fut.set_result, ("f", 1))
            return await t.echo_await(fut)

        assert run(main()) == ("f", 1)

    def test_cpp_task_awaits_cpp_task_directly(self):
        assert run(t.await_cpp_task(later("a", 2))) == ("a", 42)


class TestScheduling:
    def test_create_task_and_gather(self):
        async def main():
            task = asyncio.create_task(t.sleep_loop(5))
            both = await asyncio.gather(t.echo_await(later(1, 3)), t.sleep_loop(2), task)
            return both

        assert run(main()) == [1, 2, 5]

    def test_task_group(self):
        async def main():
            async with asyncio.TaskGroup() as tg:
                a = tg.create_task(t.echo_await(later("a", 2)))
                b = tg.create_task(t.await_cpp_task(later("b")))
            return a.result(), b.result()

        assert run(main()) == ("a", ("b", 42))

    def test_task_group_error_cancels_siblings(self):
        log = []

        async def main():
            async with asyncio.TaskGroup() as tg:
                tg.create_task(t.guarded_await(asyncio.Event().wait(), log))
                tg.create_task(t.raise_value_error())

        with pytest.raises(ExceptionGroup) as eg:
            run(main())
        assert eg.group_contains(ValueError, match="bad value")
        assert log == ["CancelledError", "guard"]

    def test_wait_for_timeout_cancels_the_body(self):
        log = []

        async def main():
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(t.guarded_await(asyncio.sleep(10), log), 0.01)

        run(main())
        assert log == ["CancelledError", "guard"]

    def test_eager_task_factory(self):
        async def main():
            loop = asyncio.get_running_loop()
            loop.set_task_factory(asyncio.eager_task_factory)
            done_now = asyncio.create_task(t.return_int(5))
            assert done_now.done()  # ran to completion inside create_task
            pending = asyncio.create_task(t.sleep_loop(3))
            assert not pending.done()
            return done_now.result(), await pending

        assert run(main()) == (10, 3)

    def test_many_concurrent(self):
        async def main():
            return await asyncio.gather(*(t.sleep_loop(i % 7) for i in range(200)))

        assert run(main()) == [i % 7 for i in range(200)]


class TestExceptions:
    def test_python_exception_passes_through_cpp_unchanged(self):
        exc = KeyError("k")

        async def main():
            try:
                await t.echo_await(fail_with(exc))
            except KeyError as e:
                return e

        caught = run(main())
        assert caught is exc
        frames = [f.name for f in traceback.extract_tb(caught.__traceback__)]
        assert "fail_with" in frames  # where it was raised, kept through C++

    def test_cpp_body_sees_the_same_exception_object(self):
        exc = LookupError("seen")
        assert run(t.catch_exception(fail_with(exc))) is exc

    def test_recovering_then_awaiting_again(self):
        exc = OSError("first")
        seen, second = run(t.recover_then_await(fail_with(exc), later("second", 2)))
        assert seen is exc and second == "second"

    def test_cpp_exceptions_translate(self):
        with pytest.raises(RuntimeError, match="boom"):
            run(t.raise_cpp("boom"))
        with pytest.raises(ValueError, match="bad value"):
            run(t.raise_value_error())

    def test_stop_iteration_from_awaitable_becomes_runtime_error(self):
        async def stop():
            raise StopIteration("x")

        # Python itself turns it into RuntimeError inside `stop`; the C++ body re-raises that.
        with pytest.raises(RuntimeError):
            run(t.echo_await(stop()))

    def test_throw_into_suspended_body(self):
        log = []
        c = t.guarded_await(later(1, 5), log)
        c.send(None)
        exc = ValueError("thrown")
        with pytest.raises(ValueError) as info:
            c.throw(exc)
        assert info.value is exc and log == ["ValueError", "guard"]

    def test_throw_before_start_ends_without_running(self):
        log = []
        c = t.guarded_await(1, log)
        with pytest.raises(KeyError):
            c.throw(KeyError("early"))
        assert log == []  # the body never ran; no guard was made
        with pytest.raises(RuntimeError, match="cannot reuse"):
            c.send(None)

    def test_throw_type_and_value_forms(self):
        c = t.sleep_loop(3)
        c.send(None)
        with pytest.raises(ValueError, match="v"), pytest.warns(DeprecationWarning, match="signature of throw"):
            c.throw(ValueError, "v")
        fresh = t.sleep_loop(1)
        with pytest.raises(TypeError):
            fresh.throw(1)
        fresh.close()

    def test_close_delivers_generator_exit(self):
        log = []
        inner = later(1, 5)
        c = t.guarded_await(inner, log)
        c.send(None)
        assert c.cr_await is inner
        assert c.close() is None
        assert log == ["GeneratorExit", "guard"]
        assert inner.cr_frame is None  # the awaited coroutine was closed first

    def test_dropping_a_suspended_coroutine_closes_it(self):
        log = []
        c = t.guarded_await(later(1, 5), log)
        c.send(None)
        del c
        gc.collect()
        assert log == ["GeneratorExit", "guard"]


class TestCancellation:
    def test_cancel_reaches_cpp_and_unwinds(self):
        log = []

        async def main():
            task = asyncio.create_task(t.guarded_await(asyncio.Event().wait(), log))
            await asyncio.sleep(0)
            task.cancel("stop now")
            with pytest.raises(asyncio.CancelledError) as info:
                await task
            return info.value

        err = run(main())
        assert log == ["CancelledError", "guard"]
        assert "stop now" in str(err.args)

    def test_cancel_while_awaiting_a_cpp_task_directly(self):
        async def main():
            task = asyncio.create_task(t.await_cpp_task(asyncio.Event().wait()))
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return task.cancelled()

        assert run(main())


class TestLeaks:
    def test_cycle_through_the_awaited_future_is_collected(self):
        loop = asyncio.new_event_loop()
        try:
            fut = loop.create_future()
            c = t.echo_await(fut)
            assert c.send(None) is fut  # suspended on it: the bridge holds its iterator
            fut.add_done_callback(lambda _, c=c: c)  # and the future holds the coroutine
            r = weakref.ref(c)
            del c, fut
            gc.collect()
            assert r() is None
        finally:
            loop.close()

    def test_bridge_coroutines_awaited_from_cpp(self):
        exc = KeyError("inner")
        assert run(t.echo_await(t.sleep_loop(3))) == 3
        assert run(t.catch_exception(t.echo_await(fail_with(exc)))) is exc

    def test_no_objects_kept_alive(self):
        class Token:
            pass

        refs = []

        async def main():
            for _ in range(300):
                tok = Token()
                refs.append(weakref.ref(tok))
                assert await t.echo_await(later(tok)) is tok
                try:
                    await t.catch_exception(fail_with(ValueError(tok)))
                except ValueError:
                    pass
                c = t.echo_await(tok)
                c.close()

        run(main())
        gc.collect()
        assert all(r() is None for r in refs)
        assert not [o for o in gc.get_objects() if type(o).__name__ == "coroutine" and type(o).__module__ == "pyasync"]
