import enum
import os
import subprocess
import sys

import pytest

from vadrel_guardrail import constants
from vadrel_guardrail.constants import GuardrailConstants, GuardrailMode, TopicSafetyMode


class TestTextEnums:
    def test_members_are_text(self):
        assert issubclass(GuardrailMode, enum.StrEnum)
        assert issubclass(TopicSafetyMode, enum.StrEnum)
        assert GuardrailMode.BOTH == "both"
        assert {"both": 1}[GuardrailMode.BOTH] == 1
        assert str(GuardrailMode.INPUT_ONLY) == "input_only"
        assert f"{GuardrailMode.OUTPUT_ONLY}" == "output_only"
        assert "both" in (GuardrailMode.BOTH, GuardrailMode.DISABLED)
        assert TopicSafetyMode.DISABLED == GuardrailMode.DISABLED

    def test_lookup_by_value_only(self):
        assert GuardrailMode("output_only") is GuardrailMode.OUTPUT_ONLY
        assert TopicSafetyMode("hybrid") is TopicSafetyMode.HYBRID
        for bad in ("OUTPUT_ONLY", "", "allowlist"):
            with pytest.raises(ValueError):
                GuardrailMode(bad)

    def test_declaration_order(self):
        assert [m.name for m in GuardrailMode] == ["DISABLED", "INPUT_ONLY", "OUTPUT_ONLY", "BOTH"]
        assert [m.value for m in TopicSafetyMode] == ["allowlist", "denylist", "hybrid", "disabled"]

    def test_identity_and_docs(self):
        assert GuardrailMode.__module__ == "vadrel_guardrail.constants"
        assert GuardrailMode.__doc__ == "Guardrail mode enumeration for guardrail configuration."
        assert TopicSafetyMode.__doc__ == "Topic safety mode enumeration for guardrail configuration."


class TestKeysAndDefaults:
    def test_keys(self):
        keys = {
            "CONTENT_KEY": "content", "QUERY_KEY": "query", "CONTEXT_KEY": "context", "ANSWER_KEY": "answer",
            "ENGINE_KWARGS_KEY": "engine_kwargs", "IS_SAFE_KEY": "is_safe", "REASON_KEY": "reason",
            "FILTERED_CONTENT_KEY": "filtered_content",
        }
        for name, value in keys.items():
            assert getattr(GuardrailConstants, name) == value

    def test_defaults(self):
        assert GuardrailConstants.DEFAULT_RAISE_ON_EXCEPTIONS == ()
        assert type(GuardrailConstants.DEFAULT_RAISE_ON_EXCEPTIONS) is tuple
        assert GuardrailConstants.DEFAULT_EMPTY_CONTENT_SAFE is True
        assert GuardrailConstants.DEFAULT_ERROR_CONSERVATIVE is True
        assert GuardrailConstants.__bases__ == (object,)

    def test_caps(self):
        assert constants.DEFAULT_MAX_STREAM_BUFFER_BYTES == 1048576
        assert constants.DEFAULT_MAX_STREAM_BUFFER_CHUNKS == 10000


class TestNemoBaseConfigPath:
    def test_is_text_under_the_package_directory(self):
        path = constants.NEMO_BASE_CONFIG_PATH
        assert isinstance(path, str)
        package_dir = os.path.dirname(constants.__file__)
        assert path == os.path.join(package_dir, "config", "nemo_config")
        assert os.path.basename(package_dir) == "vadrel_guardrail"

    def test_beside_the_extension(self):
        import vadrel_guardrail

        extension = vadrel_guardrail.__spec__.origin
        assert constants.NEMO_BASE_CONFIG_PATH.startswith(os.path.join(os.path.dirname(extension), "vadrel_guardrail"))

    def test_loading_does_not_need_the_directory(self, tmp_path):
        # A copy of the extension without its data directory still loads.
        import shutil

        import vadrel_guardrail

        extension = vadrel_guardrail.__spec__.origin
        for name in os.listdir(os.path.dirname(extension)):
            if name.startswith(("vadrel_guardrail.", "vadrel_core.", "vadrel_inference.")) and name.endswith(".so"):
                shutil.copy(os.path.join(os.path.dirname(extension), name), tmp_path)
        code = (
            "import os, vadrel_guardrail.constants as c;"
            "assert not os.path.exists(c.NEMO_BASE_CONFIG_PATH);"
            f"assert c.NEMO_BASE_CONFIG_PATH.startswith({str(tmp_path)!r});print('ok')"
        )
        env = dict(os.environ, PYTHONPATH=str(tmp_path))
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
        assert out.stdout.strip() == "ok", out.stderr
