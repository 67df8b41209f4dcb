import sys
from pathlib import Path

import pytest

# The shared test server lives beside the test packages, not in an importable package.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from chat_server import ChatServer  # noqa: E402


@pytest.fixture
def chat_server(monkeypatch):
    # Requests must go straight to 127.0.0.1, never through a proxy from the environment.
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        monkeypatch.delenv(name, raising=False)
    server = ChatServer().start()
    yield server
    server.stop()
