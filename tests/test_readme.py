"""The README's code samples run as written and do what their comments say."""

import os
import re
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent / "vadrel_guardrail" / "engine"))
from nemo_doubles import refuse_embedding_models, refuse_remote_connections  # noqa: E402
from readme_samples import README, python_samples  # noqa: E402

from vadrel_guardrail import GuardrailMode  # noqa: E402

USAGE, DM_SAMPLE, NEMO_SAMPLE = python_samples()


@pytest.fixture(autouse=True)
def offline(monkeypatch):
    refuse_remote_connections(monkeypatch)
    refuse_embedding_models(monkeypatch)


def run_sample(sample):
    namespace = {"__name__": "readme_sample"}
    exec(compile(sample, str(README), "exec"), namespace)  # noqa: S102 - the README's own code
    return namespace


def test_the_usage_sample_checks_both_directions(capsys):
    run_sample(USAGE)
    promised = re.findall(r"print\(.*\)  # (.*)$|^    # (blocked: .*)$", USAGE, re.M)
    assert capsys.readouterr().out.splitlines() == [said or blocked for said, blocked in promised]
    assert promised[-1][1].startswith("blocked: ")  # the output stream is checked


def test_the_model_samples_build_their_engines(monkeypatch):
    monkeypatch.setenv("OPENROUTER_API_KEY", "test-key")
    monkeypatch.setenv("OPENAI_API_KEY", "test-key")
    monkeypatch.delenv("NEMO_GUARDRAILS_NO_USAGE_STATS")  # the NeMo sample turns usage statistics off itself
    dm = run_sample(DM_SAMPLE)["dm"]
    assert dm.config.guardrail_mode == GuardrailMode.BOTH
    nemo = run_sample(NEMO_SAMPLE)["nemo"]
    assert nemo.rails is not None and len(nemo.config.fallback_lms) == 1
    assert nemo.config.lm_invoker.base_url == "http://127.0.0.1:8000/v1"
    assert os.environ["NEMO_GUARDRAILS_NO_USAGE_STATS"] == "1"
