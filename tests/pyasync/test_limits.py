"""Chains far deeper than the stack: Python's limits hold for bridge objects as for its own objects.

Each case runs in a fresh interpreter, so that a stack overflow fails the case instead of the suite.
"""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent(
    """
    import asyncio, sys
    import _pyasync_testing as t

    async def adaptor(stream):  # a Python stage between two bridge stages
        async for item in stream:
            yield item

    async def py_await(aw):
        return await aw

    def chain(kind, depth):
        if kind == "bridge await":
            link, s = t.echo_await, asyncio.sleep(0, "x")
        elif kind == "python await":
            link, s = py_await, asyncio.sleep(0, "x")
        elif kind == "bridge stream":
            link, s = (lambda s: t.passthrough(adaptor(s))), t.count(1)
        elif kind == "bridge only":
            link, s = t.passthrough, t.count(1)
        else:
            link, s = adaptor, t.count(1)
        for _ in range(depth):
            s = link(s)
        return s
    """
)


def run_script(body):
    script = PRELUDE + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout.split()


@pytest.mark.parametrize(
    ("depth", "limit"),
    [(100_000, None), (10_000, 10_000)],
    ids=["default limit", "raised limit"],
)
def test_deep_chain_raises_recursion_error(depth, limit):
    outcome = run_script(
        f"""
        if {limit!r}:
            sys.setrecursionlimit({limit!r})

        async def outcome(kind):
            s = chain(kind, {depth})
            try:
                if kind.endswith("await"):
                    await s
                else:
                    [x async for x in s]
            except RecursionError as e:
                return str(e).startswith("maximum recursion depth exceeded")
            return "finished"

        for kind in ("python await", "bridge await", "python stream", "bridge stream"):
            print(asyncio.run(outcome(kind)))
        """
    )
    assert outcome == ["True"] * 4


def test_deep_chain_of_unstarted_streams_is_freed():
    # A Python-only chain this deep is freed by CPython too; bridge stages must not make it fail.
    outcome = run_script(
        """
        for kind in ("python stream", "bridge stream", "bridge only", "bridge await"):
            s = chain(kind, 100_000)
            del s
            print("freed")
        """
    )
    assert outcome == ["freed"] * 4
