"""`own_process`: a test that changes a class the package watches (which turns its fast path off for the rest of
the process) runs its body in a forked child; every other test must leave the fast paths on."""

import os
import pickle
import sys
import traceback
import warnings

import pytest

in_child = False
WATCHED = ("PhraseMatcherEngine", "GuardrailResult", "GuardrailStreamChunk")


def pytest_configure(config):
    config.addinivalue_line("markers", "own_process: the test changes a watched class; its body runs in a child")


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    global in_child
    if in_child or not pyfuncitem.get_closest_marker("own_process"):
        return None
    read, write = os.pipe()
    with warnings.catch_warnings(action="ignore", category=DeprecationWarning):  # beside the runner's threads
        child = os.fork()
    if child == 0:
        in_child, failure = True, "the test ended its process"
        try:
            failure = pyfuncitem.ihook.pytest_pyfunc_call(pyfuncitem=pyfuncitem) and None
        except BaseException as error:
            failure = (str(error), True) if isinstance(error, pytest.skip.Exception) else traceback.format_exc()
        finally:
            os.write(write, pickle.dumps(failure))
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        failure = pickle.loads(pipe.read() or pickle.dumps("the child died"))
    os.waitpid(child, 0)
    if isinstance(failure, tuple):
        pytest.skip(failure[0])
    if failure:
        pytest.fail(failure, pytrace=False)
    return True


@pytest.fixture(autouse=True)
def fast_paths_stay_on(request):
    def holding():
        if "vadrel_guardrail" not in sys.modules:
            return None
        from vadrel_guardrail_testing import fast_path_holds
        return {name for name in WATCHED if fast_path_holds(name)}

    before = holding()
    yield
    if before and not request.node.get_closest_marker("own_process"):
        assert holding() == before, "the test changed a watched class: mark it own_process"
