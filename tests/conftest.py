import asyncio
import os
import sys
import threading
from pathlib import Path

import pytest

# NeMo Guardrails reports usage statistics over the network unless these variables turn it off.
os.environ.setdefault("NEMO_GUARDRAILS_NO_USAGE_STATS", "1")
os.environ.setdefault("DO_NOT_TRACK", "1")

# The local chat-completions server shared by the invoker, adapter and engine tests.
sys.path.insert(0, str(Path(__file__).resolve().parent / "support"))

from chat_server import ChatServer  # noqa: E402
from effort import scaled  # noqa: E402
from hypothesis import settings  # noqa: E402

# Tests that change the package's classes run apart (tests/support/own_process.py).
pytest_plugins = ["own_process"]

# Hypothesis tests without a count of their own draw the default number of examples, scaled like the rest.
settings.register_profile("effort", max_examples=scaled(settings.default.max_examples))
settings.load_profile("effort")


def pytest_addoption(parser):
    parser.addoption("--phrase-cpu-path", metavar="PATH",
                     help="the phrase matcher's CPU path (portable, avx2 or avx512) in every process of the run")


def pytest_configure(config):
    config.addinivalue_line("markers", "against_re: compares the phrase matcher with `re`; runs once per CPU path")
    # Before any test module builds an engine; every xdist worker gets the option too.
    if path := config.getoption("phrase_cpu_path"):
        import vadrel_guardrail_testing

        vadrel_guardrail_testing.use_phrase_cpu_path(path)


@pytest.fixture
def chat_server(monkeypatch):
    # Requests must go straight to 127.0.0.1, never through a proxy from the environment.
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        monkeypatch.delenv(name, raising=False)
    server = ChatServer().start()
    yield server
    server.stop()



class ClosingLeftLoops(asyncio.DefaultEventLoopPolicy):
    """NeMo Guardrails' LLMRails constructor, run with no loop running, makes a new event loop the thread's
    current one (nemoguardrails.utils.get_or_create_event_loop) and never uses or closes it. Left to the
    collector, it is found unclosed in whatever test runs then, perhaps one that records warnings. Here a
    current loop that another replaces while it is not running is closed, and so is one still current when a
    test ends. The suite's own loops are asyncio.run's, which closes them itself."""

    def __init__(self):
        super().__init__()
        self._current = threading.local()

    def set_event_loop(self, loop):
        previous = getattr(self._current, "loop", None)
        super().set_event_loop(loop)
        self._current.loop = loop
        if loop is not None and previous is not None and previous is not loop:
            close_if_idle(previous)

    def close_current(self):
        loop = getattr(self._current, "loop", None)
        if loop is not None and close_if_idle(loop):
            self.set_event_loop(None)


def close_if_idle(loop):
    if loop.is_running() or loop.is_closed():
        return False
    loop.close()
    return True


asyncio.set_event_loop_policy(ClosingLeftLoops())


@pytest.fixture(autouse=True)
def close_a_loop_left_current():
    yield
    policy = asyncio.get_event_loop_policy()
    if isinstance(policy, ClosingLeftLoops):
        policy.close_current()
