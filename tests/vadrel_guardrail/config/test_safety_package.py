"""The `vadrel_guardrail.config.safety` package surface."""

import subprocess
import sys

import vadrel_guardrail.config.safety as safety
from vadrel_core.utils import validate_enum
from vadrel_guardrail import config_loader, constants
from vadrel_guardrail.config.safety import base, content, topic


def test_exports_exactly_six_names_in_order():
    assert safety.__all__ == ["BaseSafetyConfigBuilder", "ContentSafetyConfigBuilder", "ContentSafetyItem",
                              "TopicSafetyConfigBuilder", "TopicSafetyItem", "TopicSafetyMode"]
    namespace = {}
    exec("from vadrel_guardrail.config.safety import *", namespace)
    assert sorted(n for n in namespace if n != "__builtins__") == sorted(safety.__all__)


def test_names_are_the_defining_modules_objects():
    assert safety.BaseSafetyConfigBuilder is base.BaseSafetyConfigBuilder
    assert safety.ContentSafetyConfigBuilder is content.ContentSafetyConfigBuilder
    assert safety.ContentSafetyItem is content.ContentSafetyItem
    assert safety.TopicSafetyConfigBuilder is topic.TopicSafetyConfigBuilder
    assert safety.TopicSafetyItem is topic.TopicSafetyItem
    assert not hasattr(safety, "SafetyItem") and hasattr(base, "SafetyItem")


def test_topic_safety_mode_is_the_constants_type():
    assert safety.TopicSafetyMode is topic.TopicSafetyMode is constants.TopicSafetyMode
    assert [m.value for m in safety.TopicSafetyMode] == ["allowlist", "denylist", "hybrid", "disabled"]
    assert safety.TopicSafetyMode.HYBRID == constants.TopicSafetyMode.HYBRID == "hybrid"


def test_builders_use_the_shared_loader_and_validation():
    assert content.load_yaml_config is topic.load_yaml_config is config_loader.load_yaml_config
    assert topic.validate_enum is validate_enum
    assert content.BaseSafetyConfigBuilder is topic.BaseSafetyConfigBuilder is base.BaseSafetyConfigBuilder


def test_loading_reads_no_data_file():
    # Every file the interpreter opens raises an audit event; none of them may be the package's data
    # (NeMo Guardrails, loaded with the package, reads its own files).
    code = (
        "import os, sys\n"
        "opened = []\n"
        "sys.addaudithook(lambda event, args: opened.append(str(args[0])) if event == 'open' else None)\n"
        "import vadrel_guardrail.config.safety\n"
        "import vadrel_guardrail.config_loader as loader\n"
        "data = os.path.join(os.path.dirname(loader.__file__), 'config')\n"
        "print('\\n'.join(p for p in opened if p.startswith(data)))\n"
        "print('loaded', len(opened) > 0)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "loaded True"
