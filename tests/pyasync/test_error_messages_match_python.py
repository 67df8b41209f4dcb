"""Misuse meets the bridge as it meets Python's own coroutines: refused at once, with the same messages.

Every case runs against CPython's own coroutine or async generator and the bridge's, side by side.
"""

import asyncio
import gc
import sys
import warnings

import pytest

import _pyasync_testing as t


def run(coro):
    return asyncio.run(coro)


def outcome(call):
    """What `call()` gives: its value, or the error's type, message and cause's message."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            value = call()
            return ("value", value if value is None or isinstance(value, int) else type(value).__name__)
    except BaseException as e:  # noqa: BLE001 - the comparison is the test
        cause = e.__cause__
        return (type(e).__name__, str(e), cause and (type(cause).__name__, str(cause)))


async def py_sleep_loop(n):
    for _ in range(n):
        await asyncio.sleep(0)
    return n


async def py_echo_await(aw):
    return await aw


async def py_value(value):
    return value


async def py_raise_value_error():
    await asyncio.sleep(0)
    raise ValueError("bad value")


async def py_collect(iterable):
    return [x async for x in iterable]


async def py_awaiting_count(n):
    for i in range(n):
        await asyncio.sleep(0)
        yield i


class Result:
    """What a synchronous method returns where a coroutine was expected."""


class NoAnext:
    def __aiter__(self):
        return 5


class BadAnext:
    def __aiter__(self):
        return self

    def __anext__(self):
        return Result()


def anext_lost():
    """An async iterator whose class gives up `__anext__` once it has given one item."""

    class AnextLost:
        def __aiter__(self):
            return self

        async def __anext__(self):
            del AnextLost.__anext__
            return 1

    return AnextLost()


class Iterable:
    """An async iterable that is not its own iterator."""

    def __aiter__(self):
        return aiter(py_awaiting_count(2))


def side_by_side(*pairs):
    return pytest.mark.parametrize(("python", "bridge"), pairs, ids=[p[0].__name__ for p in pairs])


class TestAwait:
    @pytest.mark.parametrize("second", [py_echo_await, t.echo_await], ids=["python awaiter", "bridge awaiter"])
    @side_by_side((py_sleep_loop, t.sleep_loop))
    def test_second_awaiter_refused_at_once(self, python, bridge, second):
        async def scenario(make):
            coro = make(3)
            first = asyncio.create_task(py_echo_await(coro))
            await asyncio.sleep(0)  # `first` is suspended inside `coro`
            refused = outcome(lambda: run_nested(second(coro)))
            return refused, await first

        def run_nested(aw):
            # One step is enough: the refusal comes before anything is awaited.
            return aw.send(None)

        assert run(scenario(bridge)) == run(scenario(python))
        assert run(scenario(bridge))[0] == ("RuntimeError", "coroutine is being awaited already", None)

    @side_by_side((py_echo_await, t.echo_await))
    def test_awaiting_what_is_not_awaitable(self, python, bridge):
        for value in (Result(), 42):
            assert outcome(lambda: run(bridge(value))) == outcome(lambda: run(python(value)))
        assert outcome(lambda: run(bridge(Result())))[1] == "object Result can't be used in 'await' expression"


class TestAsyncFor:
    @pytest.mark.parametrize("reader", [t.collect, t.collect_async_for], ids=["AsyncIter", "aiter and anext"])
    def test_what_async_for_refuses(self, reader):
        for source in ([1, 2], NoAnext(), BadAnext()):
            assert outcome(lambda: run(reader(source))) == outcome(lambda: run(py_collect(source)))
        assert outcome(lambda: run(reader([1])))[1] == "'async for' requires an object with __aiter__ method, got list"
        # The iterator loses `__anext__` between two steps: the second step is refused.
        assert outcome(lambda: run(reader(anext_lost()))) == outcome(lambda: run(py_collect(anext_lost())))
        assert outcome(lambda: run(reader(anext_lost())))[1] == (
            "'async for' requires an iterator with __anext__ method, got AnextLost"
        )

    @pytest.mark.parametrize("reader", [t.collect, t.collect_async_for], ids=["AsyncIter", "aiter and anext"])
    def test_an_iterable_is_read_through_its_aiter(self, reader):
        assert run(reader(Iterable())) == run(py_collect(Iterable())) == [0, 1]


THROW_ARGS = [
    (ValueError, None, 5),
    (ValueError, ValueError("v"), 5),
    (5,),
    (ValueError("v"), 1),
    (),
    (ValueError, None, None, None),
]


class TestThrow:
    @pytest.mark.parametrize("args", THROW_ARGS, ids=repr)
    @side_by_side((py_echo_await, t.echo_await))
    def test_bad_arguments(self, python, bridge, args):
        def scenario(make, awaited):
            coro = make(awaited())
            fresh = outcome(lambda: coro.throw(*args))  # before the body started: the frame is untouched
            started = outcome(lambda: coro.send(None))
            thrown = outcome(lambda: coro.throw(*args))  # suspended: thrown into the awaited chain
            after = outcome(lambda: coro.send(None))
            coro.close()
            return fresh, started, thrown, after

        def future():
            return asyncio.get_running_loop().create_future()

        async def both():
            return [(scenario(bridge, aw), scenario(python, aw)) for aw in (lambda: asyncio.sleep(0), future)]

        for got, expected in run(both()):
            assert got == expected
        if args == (ValueError, None, 5):
            assert got[0] == ("TypeError", "throw() third argument must be a traceback object", None)

    # athrow() with a wrong number of arguments leaves Python's own generator running for ever;
    # the bridge's stays usable, so those are compared on their first step only.
    @pytest.mark.parametrize("args", THROW_ARGS[:4], ids=repr)
    @side_by_side((py_awaiting_count, t.awaiting_count))
    def test_bad_arguments_to_an_async_generator(self, python, bridge, args):
        async def scenario(make):
            gen = make(3)
            seen = [await outcome_of(gen.athrow(*args))]  # not started
            seen.append(await outcome_of(anext(gen)))
            seen.append(await outcome_of(gen.athrow(*args)))  # at its yield
            step = anext(gen)
            seen.append(outcome(lambda: step.send(None)))  # suspended in its await
            seen.append(outcome(lambda: step.throw(*args)))
            seen.append(outcome(lambda: step.send(None)))
            seen.append(await outcome_of(gen.athrow(*args)))  # finished
            return seen

        async def outcome_of(awaitable):
            try:
                return ("value", await awaitable)
            except BaseException as e:  # noqa: BLE001 - the comparison is the test
                return (type(e).__name__, str(e), None)

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            assert run(scenario(bridge)) == run(scenario(python))

    @side_by_side((py_awaiting_count, t.awaiting_count))
    def test_wrong_number_of_athrow_arguments(self, python, bridge):
        async def first_step(make, args):
            try:
                await make(1).athrow(*args)
            except TypeError as e:
                return str(e)

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            for args in (THROW_ARGS[4], THROW_ARGS[5]):
                assert run(first_step(bridge, args)) == run(first_step(python, args))

    @side_by_side((py_sleep_loop, t.sleep_loop), (py_awaiting_count, t.awaiting_count))
    def test_three_argument_form_is_deprecated(self, python, bridge):
        def warned(make):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                obj = make(1)
                try:
                    if hasattr(obj, "athrow"):
                        obj.athrow(ValueError, None, None).close()
                    else:
                        obj.send(None)
                        obj.throw(ValueError, None, None)
                except ValueError:
                    pass
            return [str(w.message) for w in caught]

        assert warned(bridge) == warned(python) != []


# Every other refusal the bridge makes where Python's own objects would refuse, scenario by scenario: each scenario
# runs on one side's functions and returns what it saw.


async def py_ignore_exit(log):
    while True:
        try:
            yield "item"
        except BaseException as e:  # noqa: BLE001 - ignoring it is the point
            log.append(type(e).__name__)


async def py_recover_then_await(failing, second):
    try:
        await failing
    except BaseException as e:  # noqa: BLE001 - recovering from anything is the point
        seen = e
    return seen, await second


async def py_raise_stop(async_kind):
    yield 0
    raise StopAsyncIteration if async_kind else StopIteration


class Api:
    """One side's coroutine and async generator functions, under the same names."""

    def __init__(self, **functions):
        self.__dict__.update(functions)


PYTHON = Api(
    sleep_loop=py_sleep_loop,
    echo_await=py_echo_await,
    awaiting_count=py_awaiting_count,
    ignore_exit=py_ignore_exit,
    recover_then_await=py_recover_then_await,
    raise_stop=py_raise_stop,
    raise_value_error=py_raise_value_error,
    one_shot_value=py_value,
    one_shot_await=py_echo_await,
)
BRIDGE = Api(
    sleep_loop=t.sleep_loop,
    echo_await=t.echo_await,
    awaiting_count=t.awaiting_count,
    ignore_exit=t.ignore_exit,
    recover_then_await=t.recover_then_await,
    raise_stop=t.raise_stop,
    raise_value_error=t.raise_value_error,
    one_shot_value=t.one_shot_value,
    one_shot_await=t.one_shot_await,
)


class AwaitReturnsCoroutine:
    def __await__(self):
        self.coro = py_sleep_loop(0)
        return self.coro


class AwaitReturnsNonIterator:
    def __await__(self):
        return 5


class NotAnException(Exception):
    def __new__(cls, *args):
        return 5


def bad_awaitables(api):
    returns_coroutine = AwaitReturnsCoroutine()
    seen = [outcome(lambda: run(api.echo_await(aw))) for aw in (returns_coroutine, AwaitReturnsNonIterator())]
    returns_coroutine.coro.close()
    return seen


def bad_exception_class(api):
    # What making the exception raises is thrown in instead, before the start as at an await.
    fresh, suspended = api.sleep_loop(1), api.sleep_loop(1)
    suspended.send(None)
    seen = [outcome(lambda: coro.throw(NotAnException, 1)) for coro in (fresh, suspended)]
    return seen + [outcome(lambda: coro.send(None)) for coro in (fresh, suspended)]


def non_string_name(api):
    coro = api.sleep_loop(0)
    seen = [outcome(lambda: setattr(coro, name, 5)) for name in ("__name__", "__qualname__")]
    coro.close()
    return seen


def generator_already_running(api):
    async def scenario():
        gen = api.awaiting_count(3)
        first = anext(gen)
        first.send(None)  # suspended inside the generator's await
        seen = [outcome(lambda: step.send(None)) for step in (anext(gen), gen.athrow(ValueError()), gen.aclose())]
        seen.append(outcome(lambda: first.send(None)))  # the first step ends with its item
        seen.append(outcome(lambda: first.send(None)))  # and cannot be reused
        await gen.aclose()
        return seen

    return run(scenario())


def ignored_generator_exit(api):
    gen = api.ignore_exit([])
    seen = [outcome(lambda: gen.__anext__().send(None)), outcome(lambda: gen.aclose().send(None))]
    hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: None
    try:
        del gen  # it refuses once more, unraisable
        gc.collect()
    finally:
        sys.unraisablehook = hook
    coro = api.recover_then_await(asyncio.sleep(0), asyncio.sleep(0))
    coro.send(None)
    return seen, outcome(coro.close)


def stop_iteration_escaping(api):
    async def scenario(async_kind):
        gen = api.raise_stop(async_kind)
        await anext(gen)
        try:
            await anext(gen)
        except RuntimeError as e:
            return str(e), type(e.__cause__).__name__

    return run(scenario(False)), run(scenario(True))


def non_none_first_send(api):
    coro = api.sleep_loop(1)
    seen = [outcome(lambda: coro.send(5))]
    coro.close()

    async def scenario():
        return await outcome_async(api.awaiting_count(1).asend(5))

    return seen, run(scenario())


async def outcome_async(awaitable):
    try:
        return ("value", await awaitable)
    except BaseException as e:  # noqa: BLE001 - the comparison is the test
        return (type(e).__name__, str(e))


def reuse_after_the_end(api):
    coro = api.sleep_loop(0)
    seen = [outcome(lambda: coro.send(None)), outcome(lambda: coro.send(None))]

    async def scenario():
        gen = api.awaiting_count(0)
        step, closing = anext(gen), gen.aclose()
        ends = [await outcome_async(step), await outcome_async(closing)]
        return ends + [outcome(lambda: step.send(None)), outcome(lambda: closing.send(None))]

    return seen, run(scenario())


def used_after_the_end(api):
    """Each way a coroutine of either kind ends, then each way of stepping it again: send and throw refuse a
    coroutine that has ended (a thrown StopIteration never passes for its return value), close does nothing."""

    def step(coro, *steps):
        return [outcome(lambda s=s: s(coro)) for s in steps]

    send = lambda c: c.send(None)  # noqa: E731 - the steps read best as a table
    close = lambda c: c.close()  # noqa: E731
    endings = {
        "returned": (lambda: api.sleep_loop(0), [send]),
        "returned at once": (lambda: api.one_shot_value(7), [send]),
        "raised": (api.raise_value_error, [send, send]),
        "closed before it began": (lambda: api.sleep_loop(1), [close]),
        "thrown in before it began": (lambda: api.one_shot_value(7), [lambda c: c.throw(KeyError("k"))]),
        "closed while it waited": (lambda: api.sleep_loop(1), [send, close]),
        "closed while its awaitable waited": (lambda: api.one_shot_await(asyncio.sleep(0)), [send, close]),
        "returned after its awaitable": (lambda: api.one_shot_await(asyncio.sleep(0)), [send, send]),
    }
    afterwards = [
        send,
        lambda c: c.throw(ValueError("after")),
        lambda c: c.throw(StopIteration(5)),
        lambda c: c.throw(GeneratorExit()),
        lambda c: c.throw(ValueError),
        lambda c: c.throw(3),
        close,
        send,
    ]
    seen = {}
    for name, (make, ending) in endings.items():
        coro = make()
        seen[name] = (step(coro, *ending), step(coro, *afterwards))
    return seen


def reentered_while_running(api):
    holder = []

    async def reenter():
        return outcome(lambda: holder[0].send(None))

    holder.append(api.echo_await(reenter()))
    return run(holder[0])


def never_awaited(api):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = api.sleep_loop(0)
        name = coro.__qualname__
        del coro
    return [str(w.message).replace(name, "NAME") for w in caught]


@pytest.mark.parametrize(
    "scenario",
    [
        bad_awaitables,
        bad_exception_class,
        non_string_name,
        generator_already_running,
        ignored_generator_exit,
        stop_iteration_escaping,
        non_none_first_send,
        reuse_after_the_end,
        used_after_the_end,
        reentered_while_running,
        never_awaited,
    ],
)
def test_protocol_misuse_fails_as_in_python(scenario):
    assert scenario(BRIDGE) == scenario(PYTHON)
