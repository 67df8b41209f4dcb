import os
import sys
from pathlib import Path

import pytest

# NeMo Guardrails reports usage statistics over the network unless told not to.
os.environ.setdefault("NEMO_GUARDRAILS_NO_USAGE_STATS", "1")
os.environ.setdefault("DO_NOT_TRACK", "1")

# The local chat-completions server shared by the invoker, adapter and engine tests.
sys.path.insert(0, str(Path(__file__).resolve().parent / "support"))

from chat_server import ChatServer  # noqa: E402


@pytest.fixture
def chat_server(monkeypatch):
    # Requests must go straight to 127.0.0.1, never through a proxy from the environment.
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        monkeypatch.delenv(name, raising=False)
    server = ChatServer().start()
    yield server
    server.stop()
