"""How much work the tests that draw examples or repeat a step do.

`scaled(n)` is `n` times the factor in the environment variable VADREL_TEST_EFFORT (1 when unset),
rounded, and at least `minimum`. The sanitizer pass (the Makefile's test-asan) sets a fraction: every
test still runs there, only on fewer examples and repetitions. Use it for hypothesis's counts and for
loops whose length is not itself what a test is about:

    from effort import scaled

    @settings(max_examples=scaled(4000), deadline=None)

Hypothesis tests that leave `max_examples` at its default are scaled through the profile that
tests/conftest.py loads.
"""

import os

EFFORT = float(os.environ.get("VADREL_TEST_EFFORT") or 1)
if not EFFORT > 0:
    raise ValueError(f"VADREL_TEST_EFFORT must be a positive number, not {EFFORT!r}")


def scaled(n: int, minimum: int = 1) -> int:
    return max(minimum, round(n * EFFORT))
