"""The `own_process` mark: a test that changes one of the package's classes runs its body in a forked child.

A change to a class the package watches turns its fast path off for the rest of the process, so the tests after it
would cover only the full protocol, and which ones do would hang on the order of the run. Every other test checks
that it leaves the fast paths on as it found them."""

import os
import pickle
import sys
import traceback
import warnings

import pytest

FAST_PATHS = ("PhraseMatcherEngine", "GuardrailResult", "GuardrailStreamChunk")


def pytest_configure(config):
    config.addinivalue_line("markers", "own_process: the test changes a class the package watches; its body runs in "
                                       "a forked child so that the change stays there")


def fast_paths():
    if "vadrel_guardrail" not in sys.modules:
        return None
    from vadrel_guardrail_testing import fast_path_holds

    return {name: fast_path_holds(name) for name in FAST_PATHS}


in_child = False


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    global in_child
    if in_child or not pyfuncitem.get_closest_marker("own_process"):
        return None
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking beside the test runner's own threads
        child = os.fork()
    if child == 0:
        os.close(read)
        in_child = True
        outcome = ("fail", "the test ended its process")
        try:
            pyfuncitem.ihook.pytest_pyfunc_call(pyfuncitem=pyfuncitem)
            outcome = None
        except pytest.skip.Exception as skipped:
            outcome = ("skip", str(skipped))
        except BaseException:
            outcome = ("fail", traceback.format_exc())
        finally:
            with os.fdopen(write, "wb") as out:
                pickle.dump(outcome, out)
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as into:
        data = into.read()
    os.waitpid(child, 0)
    outcome = pickle.loads(data) if data else ("fail", "the forked test died without a word")
    if outcome is not None:
        kind, text = outcome
        if kind == "skip":
            pytest.skip(text)
        pytest.fail(text, pytrace=False)
    return True


@pytest.fixture(autouse=True)
def fast_paths_stay_on(request):
    before = fast_paths()
    yield
    after = fast_paths()
    if before is not None and not request.node.get_closest_marker("own_process"):
        turned_off = [name for name in FAST_PATHS if before[name] and not after[name]]
        assert not turned_off, f"the test changed {turned_off}: mark it own_process"
