"""Every SIMD path of the native matcher gives the prepared pattern's matches.

VADREL_PHRASE_ISA picks the path once per process, so each path that this process does not run gets the
tests that compare the matcher with `re` in a process of its own. A path this CPU cannot run is skipped and
named; a bad value of the variable fails the engine's construction with a message that says why.
"""

import functools
import os
import subprocess
import sys
from pathlib import Path

import pytest

from vadrel_guardrail.engine import phrase_matcher_engine as pme

PATHS = ["portable", "avx2", "avx512"]
HERE = Path(__file__).resolve().parent
# The tests that compare the matcher's findings with the pattern's, on texts long enough for the block scans
# and the prefilter.
AGAINST_RE = sorted(
    str(path) for path in HERE.glob("test_phrase_*.py")
    if path.name != Path(__file__).name and path.name not in {
        "test_phrase_matcher_follows_changes_to_the_list.py", "test_phrase_matcher_check_calls.py",
        "test_phrase_matcher_check_coroutine.py", "test_phrase_matcher_engine.py",
        "test_phrase_matcher_kept_results.py"}
)


def run_python(path, *args, code=None):
    env = dict(os.environ, VADREL_PHRASE_ISA=path)
    flags = ["-X", "dev"] if sys.flags.dev_mode else []
    command = [sys.executable, *flags, *(["-c", code] if code else ["-m", "pytest", *args])]
    return subprocess.run(command, env=env, capture_output=True, text=True, cwd=HERE.parent.parent.parent)


@functools.cache
def construction_error(path):
    """Why an engine cannot be built under `path`, or None when it can."""
    done = run_python(path, code=(
        "from vadrel_guardrail.engine import phrase_matcher_engine as pme\n"
        "try:\n"
        "    pme.PhraseMatcherEngine(banned_phrases=['a b'], use_spacy=False)\n"
        "except ValueError as e:\n"
        "    print(e)\n"
        "else:\n"
        "    print(pme._phrase_cpu_path())\n"
    ))
    assert done.returncode == 0, done.stderr
    out = done.stdout.strip()
    return None if out == path else out


def test_the_default_path_is_the_best_this_cpu_runs():
    runs = [path for path in PATHS if construction_error(path) is None]
    assert "portable" in runs
    if "VADREL_PHRASE_ISA" not in os.environ:
        assert pme._phrase_cpu_path() == runs[-1]


@pytest.mark.parametrize("path", PATHS)
def test_matches_equal_the_pattern_on_every_path(path, request):
    if pme._phrase_cpu_path() == path:
        pytest.skip(f"{path}: the tests against re run on this path in this process")
    error = construction_error(path)
    if error is not None:
        assert "cannot run" in error
        pytest.skip(f"{path}: this CPU cannot run it ({error})")
    # Texts of at most 40 characters never reach the vector steps, which start at blocks of 64.
    # Two workers: this one test would otherwise be the longest of the whole suite under the sanitizer.
    options = ["-q", "-p", "no:cacheprovider", "-n", "2", "-x", "-k",
               "not test_native_matches_equal_findall and not test_engine_verdict_equals_findall_verdict"]
    profile = request.config.getoption("hypothesis_profile", None)
    if profile:
        options.append(f"--hypothesis-profile={profile}")
    done = run_python(path, *options, *AGAINST_RE)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]


@pytest.mark.parametrize("value, message", [
    ("sse9", "VADREL_PHRASE_ISA=sse9: unknown path (known: portable, avx2, avx512"),
    ("AVX2", "VADREL_PHRASE_ISA=AVX2: unknown path"),
])
def test_an_unknown_path_fails_the_engine_with_a_clear_error(value, message):
    assert construction_error(value).startswith(message)
