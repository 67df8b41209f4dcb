import importlib
import importlib.resources
import os
import subprocess
import sys

import vadrel_guardrail

LOAD_ORDER = [
    "vadrel_guardrail.constants",
    "vadrel_guardrail.schema.guardrail_input",
    "vadrel_guardrail.schema.guardrail_result",
    "vadrel_guardrail.schema.guardrail_stream_chunk",
    "vadrel_guardrail.schema",
    "vadrel_guardrail.engine.base_engine",
    "vadrel_guardrail.engine.dm_engine",
    "vadrel_guardrail.adapter.nemo_adapter",
    "vadrel_guardrail.adapter",
    "vadrel_guardrail.config",
    "vadrel_guardrail.config.safety.base",
    "vadrel_guardrail.config_loader",
    "vadrel_guardrail.config.safety.content",
    "vadrel_guardrail.config.safety.topic",
    "vadrel_guardrail.config.safety",
    "vadrel_guardrail.engine.nemo_engine",
    "vadrel_guardrail.engine.phrase_matcher_engine",
    "vadrel_guardrail.engine",
    "vadrel_guardrail.guardrail_manager",
]
PACKAGES = {"vadrel_guardrail.schema", "vadrel_guardrail.engine", "vadrel_guardrail.adapter",
            "vadrel_guardrail.config", "vadrel_guardrail.config.safety"}
PACKAGE_DIR = os.path.join(os.path.dirname(vadrel_guardrail.__spec__.origin), "vadrel_guardrail")


def test_every_module_is_importable_by_its_dotted_name():
    for name in LOAD_ORDER:
        module = importlib.import_module(name)
        assert sys.modules[name] is module
        assert module.__doc__
        assert module.__package__ == (name if name in PACKAGES else name.rpartition(".")[0])


def test_file_locations_mirror_the_dotted_names():
    assert vadrel_guardrail.__file__ == os.path.join(PACKAGE_DIR, "__init__.py")
    assert vadrel_guardrail.__path__ == [PACKAGE_DIR]
    for name in LOAD_ORDER:
        module = sys.modules[name]
        parts = name.split(".")[1:]
        if name in PACKAGES:
            assert module.__file__ == os.path.join(PACKAGE_DIR, *parts, "__init__.py")
            assert module.__path__ == [os.path.join(PACKAGE_DIR, *parts)]
        else:
            assert module.__file__ == os.path.join(PACKAGE_DIR, *parts[:-1], parts[-1] + ".py")
            assert not hasattr(module, "__path__")


def test_config_package_reaches_the_data_directory():
    import vadrel_guardrail.config

    assert vadrel_guardrail.config.__path__ == [os.path.join(PACKAGE_DIR, "config")]
    files = importlib.resources.files("vadrel_guardrail.config")
    assert str(files) == os.path.join(PACKAGE_DIR, "config")
    assert files.joinpath("nemo_config").name == "nemo_config"


def test_load_order_from_any_entry_point():
    # Whatever name is imported first, the whole package loads in one fixed order.
    code = (
        "import sys, vadrel_guardrail.engine.base_engine;"
        "print(','.join(m for m in sys.modules if m.startswith('vadrel_guardrail.')))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip().split(",") == LOAD_ORDER


def test_top_level_surface():
    from vadrel_guardrail.constants import GuardrailMode
    from vadrel_guardrail.schema import GuardrailInput, GuardrailResult

    assert vadrel_guardrail.__doc__ == "A package to handle the guardrail of the text."
    assert vadrel_guardrail.GuardrailMode is GuardrailMode
    assert vadrel_guardrail.GuardrailInput is GuardrailInput
    assert vadrel_guardrail.GuardrailResult is GuardrailResult
    assert not hasattr(vadrel_guardrail, "GuardrailStreamChunk")
    import vadrel_guardrail.schema as schema

    assert schema.__all__ == ["GuardrailInput", "GuardrailResult", "GuardrailStreamChunk"]
    assert schema.__doc__ == "Schema for guardrail components."


def test_surfaces_bind_the_defining_objects():
    import vadrel_guardrail.engine as engine
    import vadrel_guardrail.engine.base_engine as base_engine
    import vadrel_guardrail.engine.dm_engine as dm_engine
    import vadrel_guardrail.engine.phrase_matcher_engine as phrase_matcher_engine
    import vadrel_guardrail.guardrail_manager as guardrail_manager

    assert engine.__doc__ == "Engine for guardrail components."
    for name in engine.__all__:
        assert getattr(vadrel_guardrail, name, getattr(engine, name)) is getattr(engine, name)
    assert vadrel_guardrail.GuardrailEngine is engine.GuardrailEngine is base_engine.GuardrailEngine
    assert vadrel_guardrail.DMGuardrailEngineConfig is engine.DMGuardrailEngineConfig is dm_engine.DMGuardrailEngineConfig
    assert vadrel_guardrail.PhraseMatcherEngine is phrase_matcher_engine.PhraseMatcherEngine
    assert vadrel_guardrail.GuardrailManager is guardrail_manager.GuardrailManager
    assert vadrel_guardrail.__all__ == sorted(vadrel_guardrail.__all__)
    assert engine.__all__ == sorted(engine.__all__)


def test_wildcard_imports_bind_the_export_lists():
    for module in ("vadrel_guardrail", "vadrel_guardrail.engine"):
        namespace = {}
        exec(f"from {module} import *", namespace)
        namespace.pop("__builtins__")
        assert sorted(namespace) == sorted(importlib.import_module(module).__all__)
    hidden = ["GuardrailStreamChunk", "StreamingGuardrailEngine", "GuardrailConstants", "DEFAULT_DM_MODEL_ID"]
    for name in hidden:
        assert name not in vadrel_guardrail.__all__
