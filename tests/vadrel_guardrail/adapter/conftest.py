import sys
from pathlib import Path

import pytest

# The tests import their doubles from beside them, and the shared test server from tests/support.
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parents[1] / "support"))

from chat_server import ChatServer  # noqa: E402


@pytest.fixture
def chat_server(monkeypatch):
    # Requests must go straight to 127.0.0.1, never through a proxy from the environment.
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        monkeypatch.delenv(name, raising=False)
    server = ChatServer().start()
    yield server
    server.stop()
