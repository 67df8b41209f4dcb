"""Importing the two libraries touches no file and no network.

The import runs in a fresh interpreter with an audit hook installed after the dependencies
(pydantic, and its lazily loaded parts) are warm, so every event recorded is one of ours.
"""

import json
import os
import subprocess
import sys

PROBE = r"""
import abc, enum, importlib, json, logging, os, pathlib, sys, types, typing
import importlib.machinery
import pydantic

class _Warm(pydantic.BaseModel):  # pydantic loads its plugins and helpers at the first model
    model_config = pydantic.ConfigDict(frozen=True)
    x: int = 0
    y: typing.Any = None
    z: dict[str, str] | None = None
    w: list[typing.Any] = []

events = []

def hook(event, args):
    if event in ("open", "os.listdir", "os.scandir", "subprocess.Popen") or event.startswith(("socket.", "http.")):
        events.append([event, str(args[0]) if args else None])

sys.addaudithook(hook)
for name in MODULES:
    importlib.import_module(name)
print(json.dumps({"events": events, "http_client_loaded": "aiohttp" in sys.modules}))
"""

MODULES = [
    "vadrel_core",
    "vadrel_core.constants",
    "vadrel_core.schema",
    "vadrel_core.utils",
    "vadrel_core.logging",
    "vadrel_core.event",
    "vadrel_core.event.handler.event_handler",
    "vadrel_inference",
    "vadrel_inference.exceptions",
    "vadrel_inference.schema",
    "vadrel_inference.lm_invoker",
    "vadrel_inference.lm_invoker.lm_invoker",
    "vadrel_inference.dm_invoker",
    "vadrel_inference.dm_invoker.dm_invoker",
    "vadrel_inference.builder",
    "vadrel_inference.component",
]


def test_import_reads_no_file_and_opens_no_socket():
    env = dict(os.environ, NEMO_GUARDRAILS_NO_USAGE_STATS="1", DO_NOT_TRACK="1")
    code = PROBE.replace("MODULES", repr(MODULES))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result["events"] == []
    # The HTTP client library loads at the first invoker build, not at import.
    assert result["http_client_loaded"] is False
