"""Cost per item of a 3-stage pass-through chain of async generators: Python vs C++ (pyasync).

(a) pure Python: each stage is `async for x in src: yield x`;
(b) C++ AsyncGen stages from _pyasync_testing, reading one another through the direct path;
(c) the source alone, as the baseline.
Each is measured over the same source kind: a C++ generator of pre-made strings, and a Python
async generator of the same strings. Prints ns per item and the ratio (a)/(b).
"""

import asyncio
import os
import time

os.environ.setdefault("NEMO_GUARDRAILS_NO_USAGE_STATS", "1")
os.environ.setdefault("DO_NOT_TRACK", "1")

import _pyasync_testing as t  # noqa: E402

N = 200_000
STAGES = 3
REPEATS = 5
CHUNKS = [f"chunk {i} " for i in range(N)]


async def py_stage(src):
    async for x in src:
        yield x


async def py_source(values):
    for v in values:
        yield v


SOURCES = {
    "C++ source": lambda: t.items(CHUNKS),
    "Python source": lambda: py_source(CHUNKS),
}


def python_chain(src):
    for _ in range(STAGES):
        src = py_stage(src)
    return src


def cpp_chain(src):
    for _ in range(STAGES):
        src = t.passthrough(src)
    return src


async def drain(agen):
    n = 0
    async for _ in agen:
        n += 1
    assert n == N
    return n


def ns_per_item(make):
    agen = make()
    start = time.perf_counter_ns()
    asyncio.run(drain(agen))
    return (time.perf_counter_ns() - start) / N


def main():
    # Rounds interleave the variants, so that load from elsewhere on the machine weighs on all
    # of them alike; the best round of each is kept.
    variants = {}
    for name, source in SOURCES.items():
        variants[(name, "c")] = source
        variants[(name, "a")] = lambda source=source: python_chain(source())
        variants[(name, "b")] = lambda source=source: cpp_chain(source())
    best = {key: float("inf") for key in variants}
    for _ in range(REPEATS):
        for key, make in variants.items():
            best[key] = min(best[key], ns_per_item(make))

    print(f"{STAGES}-stage pass-through chain, {N:,} chunks, best of {REPEATS} (ns per item)")
    print(f"{'source':<15}{'(c) source':>12}{'(a) Python':>13}{'(b) C++':>10}{'(a)/(b)':>10}"
          f"{'per stage: Python':>20}{'C++':>6}")
    for name in SOURCES:
        base, py, cpp = best[(name, "c")], best[(name, "a")], best[(name, "b")]
        print(f"{name:<15}{base:>12.0f}{py:>13.0f}{cpp:>10.0f}{py / cpp:>9.2f}x"
              f"{(py - base) / STAGES:>20.0f}{(cpp - base) / STAGES:>6.0f}")


if __name__ == "__main__":
    main()
