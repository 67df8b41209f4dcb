"""Every SIMD path of the native matcher gives the prepared pattern's matches.

The test-only module's `use_phrase_cpu_path` picks the path once per process, before the first engine is built
(pytest's --phrase-cpu-path picks it in every process of a run), so each path that this process does not run gets
the tests that compare the matcher with `re` in a process of its own. A path this CPU cannot run is skipped and
named; any value other than a path this CPU runs is refused with a ValueError naming those it runs.
"""

import functools
import subprocess
import sys
from pathlib import Path

import pytest

import vadrel_guardrail_testing as testing

PATHS = ["portable", "avx2", "avx512"]
HERE = Path(__file__).resolve().parent
# The tests that compare the matcher's findings with the pattern's (marked `against_re`), on texts long enough
# for the block scans and the prefilter: nothing else depends on the path.
AGAINST_RE = sorted(str(path) for path in HERE.glob("test_phrase_*.py")
                    if path.name != Path(__file__).name and "mark.against_re" in path.read_text(encoding="utf-8"))


def run_python(*args, code=None):
    flags = ["-X", "dev"] if sys.flags.dev_mode else []
    command = [sys.executable, *flags, *(["-c", code] if code else ["-m", "pytest", *args])]
    return subprocess.run(command, capture_output=True, text=True, cwd=HERE.parent.parent.parent)


def refusal(value):
    """The message that refuses `value`, which is no path this CPU runs: a refusal chooses nothing, so that it
    is asked in this process."""
    with pytest.raises(ValueError) as refused:
        testing.use_phrase_cpu_path(value)
    return str(refused.value)


@functools.cache
def runs_here():
    return refusal("?").partition("(it runs: ")[2].rstrip(")").split(", ")


def test_the_default_path_is_the_best_this_cpu_runs():
    assert "portable" in runs_here() and set(runs_here()) <= set(PATHS)
    done = run_python(code=(
        "import vadrel_guardrail_testing as testing\n"
        "from vadrel_guardrail.engine import phrase_matcher_engine as pme\n"
        "pme.PhraseMatcherEngine(banned_phrases=['a b'], use_spacy=False)\n"
        "print(testing.phrase_cpu_path())\n"
    ))
    assert (done.returncode, done.stdout.strip()) == (0, runs_here()[-1]), done.stderr


@pytest.mark.parametrize("path", PATHS)
def test_matches_equal_the_pattern_on_every_path(path, request):
    if testing.phrase_cpu_path() == path:
        pytest.skip(f"{path}: the tests against re run on this path in this process")
    if path not in runs_here():
        pytest.skip(f"{path}: this CPU cannot run it")
    # Texts of at most 40 characters never reach the vector steps, which start at blocks of 64.
    # Two workers: this one test would otherwise be the longest of the whole suite under the sanitizer.
    options = ["-q", "-p", "no:cacheprovider", "-n", "2", "-x", f"--phrase-cpu-path={path}", "-m", "against_re", "-k",
               "not test_native_matches_equal_findall and not test_engine_verdict_equals_findall_verdict"]
    profile = request.config.getoption("hypothesis_profile", None)
    if profile:
        options.append(f"--hypothesis-profile={profile}")
    done = run_python(*options, *AGAINST_RE)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]


@pytest.mark.parametrize("value", ["sse9", "AVX2", "", "avx512 "])
def test_a_value_other_than_a_path_this_cpu_runs_is_refused_naming_those_it_runs(value):
    assert refusal(value) == f"'{value}' is no CPU path this CPU runs (it runs: {', '.join(runs_here())})"


def test_the_path_is_chosen_once_per_process():
    other = "portable" if runs_here()[-1] != "portable" else None
    if other is None:
        pytest.skip("this CPU runs the portable path alone")
    done = run_python(code=(
        "import vadrel_guardrail_testing as testing\n"
        "from vadrel_guardrail.engine import phrase_matcher_engine as pme\n"
        "pme.PhraseMatcherEngine(banned_phrases=['a b'], use_spacy=False)\n"
        "testing.use_phrase_cpu_path(testing.phrase_cpu_path())\n"
        "try:\n"
        f"    testing.use_phrase_cpu_path({other!r})\n"
        "except RuntimeError as e:\n"
        "    print(e)\n"
    ))
    assert done.stdout.strip() == (f"the CPU path is chosen already ({runs_here()[-1]}): choose before the first "
                                   "engine is built"), done.stderr
