"""Every public function and operation of the three packages shows its signature at run time."""

import enum
import importlib
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGES = ("vadrel_core", "vadrel_inference", "vadrel_guardrail")


def public_modules():
    for package in PACKAGES:
        importlib.import_module(package)
    return sorted(name for name in sys.modules if name.split(".")[0] in PACKAGES)


def public_callables():
    """(path, callable) for each public function, class and class operation the modules define."""
    for module_name in public_modules():
        module = sys.modules[module_name]
        names = getattr(module, "__all__", None) or [n for n in vars(module) if not n.startswith("_")]
        for name in names:
            value = getattr(module, name)
            if getattr(value, "__module__", None) != module_name or not callable(value):
                continue  # imported here, or a constant
            path = f"{module_name}.{name}"
            if not isinstance(value, type):
                yield path, value
                continue
            if issubclass(value, enum.Enum):
                continue  # members, not operations
            yield path, value
            for attr, raw in vars(value).items():
                if attr.startswith("_") and attr != "__init__" or isinstance(raw, property):
                    continue
                operation = getattr(value, attr)
                if callable(operation) and not isinstance(operation, type):
                    yield f"{path}.{attr}", operation


def test_every_public_callable_has_a_signature():
    callables = dict(public_callables())
    for path in (
        "vadrel_guardrail.guardrail_manager.GuardrailManager.check_content",
        "vadrel_guardrail.schema.guardrail_result.GuardrailResult.unsafe",
        "vadrel_core.utils.validate_enum",
        "vadrel_inference.lm_invoker.lm_invoker.BaseLMInvoker.invoke",
    ):
        assert path in callables  # the walk sees the surface
    missing = []
    for path, value in callables.items():
        try:
            inspect.signature(value)
        except (TypeError, ValueError) as error:
            missing.append(f"{path}: {error}")
        # A bare nanobind function shows only (*args, **kwargs), if anything.
        function = getattr(value, "__func__", value)
        if type(function).__module__ == "nanobind":
            missing.append(f"{path}: not signed")
    assert not missing


def test_signatures_show_the_declared_parameters():
    from vadrel_guardrail import DMGuardrailEngine, GuardrailManager, GuardrailResult
    from vadrel_inference.lm_invoker import BaseLMInvoker

    manager = GuardrailManager()
    check = inspect.signature(manager.check_content)  # bound: no self
    assert [(p.name, p.default, p.annotation) for p in check.parameters.values()] == [
        ("content", inspect.Parameter.empty, "str | GuardrailInput"),
        ("engine_kwargs", None, "Mapping[str, Any] | None"),
    ]
    assert check.return_annotation == "GuardrailResult"  # the stubs' own text
    assert inspect.iscoroutinefunction(manager.check_content)
    assert not inspect.iscoroutinefunction(manager.check_input_stream)
    assert list(inspect.signature(GuardrailManager).parameters) == [
        "engine",
        "empty_content_safe",
        "error_conservative",
        "raise_on_exceptions",
        "max_stream_buffer_bytes",
        "max_stream_buffer_chunks",
    ]
    unsafe = inspect.signature(GuardrailResult.unsafe)
    assert list(unsafe.parameters) == ["reason", "filtered_content", "category", "policy", "score"]
    assert unsafe.parameters["reason"].default is inspect.Parameter.empty
    assert list(inspect.signature(BaseLMInvoker.invoke).parameters) == [
        "self",
        "messages",
        "hyperparameters",
        "event_emitter",
    ]
    assert GuardrailManager.check_content.__qualname__ == "GuardrailManager.check_content"
    # An operation the stubs narrow in a subclass shows the subclass's types.
    from_config = inspect.signature(DMGuardrailEngine.from_config).parameters
    assert from_config["engine_config"].annotation == "DMGuardrailEngineConfig | None"
    assert inspect.signature(GuardrailManager).parameters["engine"].annotation == (
        "GuardrailEngine | list[GuardrailEngine] | None"
    )



def test_an_unknown_keyword_is_refused_as_a_python_function_refuses_it():
    from vadrel_guardrail import GuardrailInput, GuardrailManager

    def python(engine=None):
        pass

    for native, name in ((GuardrailManager, "GuardrailManager.__init__"), (GuardrailInput.from_dict, "GuardrailInput.from_dict")):
        with pytest.raises(TypeError) as expected:
            python(colour=[])
        with pytest.raises(TypeError) as raised:
            native(colour=[])
        assert str(raised.value) == str(expected.value).replace(python.__qualname__, name)


def generate(tmp_path, stub):
    (tmp_path / "pkg").mkdir(exist_ok=True)
    (tmp_path / "pkg" / "__init__.pyi").write_text(stub, encoding="utf-8")
    script = Path(__file__).resolve().parents[2] / "scripts" / "stub_signatures.py"
    return subprocess.run([sys.executable, script, tmp_path, "pkg", tmp_path / "table.cpp"], capture_output=True,
                          text=True)


def test_the_stub_generator_compiles_in_any_text_default(tmp_path):
    text = "a\rb\tc\x01\x1b\x7f \"q\" \\ é ✓ 😀 ??= \\x41"
    assert generate(tmp_path, f"def f(a: str = {text!r}, b: float = -2.5e-300) -> None: ...\n").returncode == 0
    literal = re.search(r'StubDefault::text, 0, 0, ("[^\n]*")}}', (tmp_path / "table.cpp").read_text()).group(1)
    (tmp_path / "echo.cpp").write_text(f'#include <cstdio>\nint main() {{ std::fputs({literal}, stdout); }}\n')
    subprocess.run(["c++", "-o", tmp_path / "echo", tmp_path / "echo.cpp"], check=True)
    assert subprocess.run([tmp_path / "echo"], capture_output=True).stdout == text.encode()


@pytest.mark.parametrize("default, why", [
    ("float('inf')", "is no literal"), ("1e999", "cannot be compiled in"), ("'a\\0b'", "cannot be compiled in"),
    ("'\\ud800'", "is no UTF-8"), ("b'x'", "cannot be compiled in"), ("2**64", "is no literal"),
])
def test_the_stub_generator_refuses_a_default_it_cannot_compile_in(tmp_path, default, why):
    done = generate(tmp_path, f"import math\n\n\ndef f(x: str = {default}) -> None: ...\n")
    assert done.returncode != 0 and not (tmp_path / "table.cpp").exists()
    assert f"{tmp_path / 'pkg' / '__init__.pyi'}:4: f, parameter x: " in done.stderr and why in done.stderr
