import asyncio
import logging
import os
import subprocess
import sys
from collections import UserDict
from types import MappingProxyType

import pytest

from vadrel_core.schema import Component
from vadrel_guardrail.constants import GuardrailMode
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig, GuardrailEngine
from vadrel_guardrail.guardrail_manager import GuardrailManager, _StreamTerminated
from vadrel_guardrail.schema import GuardrailInput, GuardrailResult, GuardrailStreamChunk
from vadrel_inference.exceptions import BaseInvokerError, InvokerRuntimeError

LOGGER = "vadrel_guardrail.guardrail_manager"


class Engine:
    """A test engine that records its calls and answers from a script."""

    def __init__(self, mode=GuardrailMode.INPUT_ONLY, input_result=None, output_result=None, error=None):
        self.config = BaseGuardrailEngineConfig(guardrail_mode=mode)
        self.input_result = GuardrailResult.safe() if input_result is None else input_result
        self.output_result = GuardrailResult.safe() if output_result is None else output_result
        self.error = error
        self.calls = []

    async def check_input(self, content, **kwargs):
        self.calls.append(("input", content, kwargs))
        if self.error is not None:
            raise self.error
        return self.input_result

    async def check_output(self, content, **kwargs):
        self.calls.append(("output", content, kwargs))
        if self.error is not None:
            raise self.error
        return self.output_result


def check(manager, content, engine_kwargs=None):
    return asyncio.run(manager.check_content(content, engine_kwargs))


class TestConstruction:
    def test_defaults(self):
        manager = GuardrailManager()
        assert isinstance(manager, Component)
        assert manager._engines is None
        assert manager._default_engine_factory == GuardrailManager._default_engine
        assert manager.empty_content_safe is True and manager.error_conservative is True
        assert manager.raise_on_exceptions == ()
        assert (manager.max_stream_buffer_bytes, manager.max_stream_buffer_chunks) == (1048576, 10000)
        assert list(vars(manager)) == [
            "_engines", "_default_engine_factory", "empty_content_safe", "error_conservative",
            "raise_on_exceptions", "max_stream_buffer_bytes", "max_stream_buffer_chunks",
        ]

    def test_engine_forms(self):
        engine = Engine()
        single = GuardrailManager(engine)
        assert single.engines == [engine] and single._default_engine_factory is None
        engines = [Engine(), Engine()]
        listed = GuardrailManager(engines)
        assert listed.engines is engines
        extra = Engine()
        engines.append(extra)
        check(listed, "text")
        assert extra.calls

    def test_engine_errors(self):
        with pytest.raises(ValueError, match=r"^engine cannot be an empty list\.$"):
            GuardrailManager([])
        with pytest.raises(TypeError, match=r"^All items in engine list must be a GuardrailEngine\.$"):
            GuardrailManager([Engine(), "text"])
        with pytest.raises(TypeError, match=r"^engine must be a GuardrailEngine or a list of GuardrailEngine$"):
            GuardrailManager((Engine(),))
        with pytest.raises(TypeError, match="engine must be"):
            GuardrailManager(object())

    def test_engine_list_subclass_and_engine_like_list(self):
        class EngineList(list):
            pass

        engines = EngineList([Engine()])
        assert GuardrailManager(engines).engines is engines

        class ListEngine(list):
            config = None

            async def check_input(self, content, **kwargs):
                return GuardrailResult.safe()

            check_output = check_input

        # An object that is both a list and an engine counts as one engine.
        both = ListEngine()
        assert GuardrailManager(both).engines == [both]

    def test_settings_stored_unchanged(self):
        manager = GuardrailManager(Engine(), empty_content_safe=False, error_conservative=0)
        assert manager.empty_content_safe is False and manager.error_conservative == 0
        assert GuardrailManager(Engine(), empty_content_safe=None).empty_content_safe is True

    def test_raise_on_exceptions(self):
        exceptions = (ValueError, KeyError)
        assert GuardrailManager(Engine(), raise_on_exceptions=exceptions).raise_on_exceptions is exceptions
        with pytest.raises(TypeError, match=r"^raise_on_exceptions must be a tuple of Exception subclasses\.$"):
            GuardrailManager(Engine(), raise_on_exceptions=[ValueError])
        for bad in ((ValueError("x"),), (KeyboardInterrupt,), (asyncio.CancelledError,), (int,)):
            with pytest.raises(TypeError, match=r"^All items in raise_on_exceptions must be Exception subclasses\.$"):
                GuardrailManager(Engine(), raise_on_exceptions=bad)

    def test_buffer_caps(self):
        for bad in (True, 0, -1, 1024.0, "1"):
            with pytest.raises(ValueError, match=r"^max_stream_buffer_bytes must be a positive integer\.$"):
                GuardrailManager(Engine(), max_stream_buffer_bytes=bad)
            with pytest.raises(ValueError, match=r"^max_stream_buffer_chunks must be a positive integer\.$"):
                GuardrailManager(Engine(), max_stream_buffer_chunks=bad)
        manager = GuardrailManager(Engine(), max_stream_buffer_bytes=1, max_stream_buffer_chunks=2**70)
        assert (manager.max_stream_buffer_bytes, manager.max_stream_buffer_chunks) == (1, 2**70)
        assert GuardrailManager._validate_buffer_limits(None, None) == (1048576, 10000)
        with pytest.raises(TypeError):
            GuardrailManager._validate_buffer_limits(None)

    def test_error_precedence(self):
        with pytest.raises(ValueError, match="engine cannot"):
            GuardrailManager([], max_stream_buffer_bytes=0)
        with pytest.raises(TypeError, match="raise_on_exceptions"):
            GuardrailManager(Engine(), raise_on_exceptions=[], max_stream_buffer_bytes=0)
        with pytest.raises(ValueError, match="max_stream_buffer_bytes"):
            GuardrailManager(Engine(), max_stream_buffer_bytes=0, max_stream_buffer_chunks=0)


class TestDefaultEngine:
    def test_built_once_and_lazily(self, monkeypatch):
        built = []

        def factory():
            built.append(Engine())
            return built[-1]

        manager = GuardrailManager()
        manager._default_engine_factory = factory
        assert check(manager, "") == GuardrailResult.safe()
        assert check(manager, GuardrailInput(input="", output=None)) == GuardrailResult.safe()
        with pytest.raises(ValueError):
            check(manager, 3)
        assert built == []
        first = manager.engines
        assert first is manager.engines and first == built and len(built) == 1

    def test_retried_after_failure(self, caplog):
        attempts = []

        def factory():
            attempts.append(1)
            if len(attempts) == 1:
                raise RuntimeError("no model")
            return Engine()

        manager = GuardrailManager()
        manager._default_engine_factory = factory
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            result = check(manager, "hello")
        assert result.is_safe is False
        assert result.reason == "Error initializing guardrail engines: no model"
        assert caplog.records[0].getMessage() == "Error initializing guardrail engines: no model"
        assert caplog.records[0].exc_info[1].args == ("no model",)
        assert manager._engines is None
        assert check(manager, "hello").is_safe is True
        assert len(attempts) == 2 and len(manager.engines) == 1

    def test_engine_list_failure_policies(self):
        def failing():
            raise KeyError("k")

        lenient = GuardrailManager(error_conservative=False)
        lenient._default_engine_factory = failing
        assert check(lenient, "hi") == GuardrailResult.safe()
        strict = GuardrailManager(raise_on_exceptions=(KeyError,))
        strict._default_engine_factory = failing
        with pytest.raises(KeyError):
            check(strict, "hi")

        def invoker_failure():
            raise InvokerRuntimeError("Builder", "down")

        passing = GuardrailManager()
        passing._default_engine_factory = invoker_failure
        with pytest.raises(InvokerRuntimeError):
            check(passing, "hi")

    def test_default_engine_is_the_decision_model_engine(self, monkeypatch):
        monkeypatch.setenv("OPENROUTER_API_KEY", "test-key")
        from vadrel_guardrail.engine.dm_engine import DEFAULT_DM_MODEL_ID, DMGuardrailEngine

        engine = GuardrailManager._default_engine()
        assert isinstance(engine, DMGuardrailEngine)
        assert str(engine.dm_invoker.model_id) == DEFAULT_DM_MODEL_ID


class TestCheckContent:
    def test_content_type(self):
        manager = GuardrailManager(Engine())
        for bad, name in ((3, "int"), (None, "NoneType"), (b"x", "bytes")):
            with pytest.raises(ValueError) as info:
                check(manager, bad)
            assert str(info.value) == f"Content must be a string or GuardrailInput. Got: <class '{name}'>"
        # A printed type that UTF-8 cannot hold is still the message.
        odd = type("Odd", (), {"__module__": "m\udc80"})
        with pytest.raises(ValueError) as info:
            check(manager, odd())
        assert str(info.value) == "Content must be a string or GuardrailInput. Got: <class 'm\udc80.Odd'>"

    def test_empty_content(self):
        engine = Engine()
        assert check(GuardrailManager(engine), "") == GuardrailResult.safe()
        unsafe = check(GuardrailManager(engine, empty_content_safe=False), GuardrailInput(input="", output=None))
        assert unsafe == GuardrailResult.unsafe("Empty content not allowed")
        assert engine.calls == []
        assert check(GuardrailManager(engine), "   ").is_safe and engine.calls

    def test_modes(self):
        def run(mode, content):
            engine = Engine(mode)
            check(GuardrailManager(engine), content)
            return [(kind, text) for kind, text, _ in engine.calls]

        both = GuardrailInput(input="in", output="out")
        assert run(GuardrailMode.INPUT_ONLY, both) == [("input", "in")]
        assert run(GuardrailMode.OUTPUT_ONLY, both) == [("output", "out")]
        assert run(GuardrailMode.BOTH, both) == [("input", "in"), ("output", "out")]
        assert run(GuardrailMode.DISABLED, both) == []
        assert run(GuardrailMode.INPUT_ONLY, GuardrailInput(output="out")) == []
        assert run(GuardrailMode.BOTH, GuardrailInput(output="out")) == [("output", "out")]
        assert run(GuardrailMode.OUTPUT_ONLY, "text counts as input") == []

    def test_mode_compared_as_text(self):
        engine = Engine()
        engine.config = type("Config", (), {"guardrail_mode": "both"})()
        check(GuardrailManager(engine), GuardrailInput(input="a", output="b"))
        assert len(engine.calls) == 2
        engine.config.guardrail_mode = "sideways"
        assert check(GuardrailManager(engine), "a") == GuardrailResult.safe() and len(engine.calls) == 2

    def test_both_mode_stops_at_unsafe_input(self):
        verdict = GuardrailResult.unsafe("bad input")
        engine = Engine(GuardrailMode.BOTH, input_result=verdict)
        assert check(GuardrailManager(engine), GuardrailInput(input="a", output="b")) is verdict
        assert [c[0] for c in engine.calls] == ["input"]

    def test_input_without_verdict_then_output(self):
        engine = Engine(GuardrailMode.BOTH, output_result=GuardrailResult.unsafe("out"))
        engine.input_result = None

        async def none_input(content, **kwargs):
            engine.calls.append(("input", content, kwargs))

        engine.check_input = none_input
        assert check(GuardrailManager(engine), GuardrailInput(input="a", output="b")).reason == "out"

    def test_fail_fast(self):
        verdict = GuardrailResult.unsafe("A says no", category="c")
        first, second = Engine(input_result=verdict), Engine()
        assert check(GuardrailManager([first, second]), "x") is verdict
        assert second.calls == []

    def test_merge_rules(self):
        one = Engine(input_result=GuardrailResult.safe(filtered_content="clean", score=0.2))
        one.input_result.category = "kept?"
        result = check(GuardrailManager(one), "x")
        assert (result.filtered_content, result.score, result.category) == ("clean", 0.2, None)
        assert result is not one.input_result

        first = Engine(input_result=GuardrailResult.safe(filtered_content="first", score=0.9))
        second = Engine(input_result=GuardrailResult.safe())
        merged = check(GuardrailManager([first, second]), "x")
        assert (merged.filtered_content, merged.score) == ("first", None)

        empty = Engine(input_result=GuardrailResult.safe(filtered_content=""))
        assert check(GuardrailManager([first, empty]), "x").filtered_content == ""

    def test_engine_kwargs(self):
        engine = Engine()
        check(GuardrailManager(engine), "x", {"user": "u"})
        check(GuardrailManager(engine), "y", {})
        assert [c[2] for c in engine.calls] == [{"user": "u"}, {}]

    def test_content_keyword_collision_goes_through_the_policy(self, caplog):
        engine = Engine()
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            result = check(GuardrailManager(engine), "x", {"content": "other"})
        assert result.is_safe is False and result.reason.startswith("Error checking content: ")
        assert "multiple values for keyword argument 'content'" in result.reason
        assert engine.calls == []
        not_mapping = check(GuardrailManager(Engine()), "x", 5)
        assert not_mapping.is_safe is False and "must be a mapping" in not_mapping.reason

    def test_engine_kwargs_from_whatever_double_star_accepts(self):
        class KeysAndItems:
            def keys(self):
                return ["user"]

            def __getitem__(self, key):
                return "u"

        class Loose(Engine):
            async def check_input(self, *args, **kwargs):
                self.calls.append(("input", args, kwargs))
                return GuardrailResult.unsafe("bomb") if "bomb" in kwargs["content"] else GuardrailResult.safe()

        for mapping in (UserDict(user="u"), MappingProxyType({"user": "u"}), KeysAndItems()):
            engine = Loose()
            result = check(GuardrailManager(engine, error_conservative=False), "make a bomb", mapping)
            assert result.reason == "bomb" and engine.calls == [("input", (), {"content": "make a bomb", "user": "u"})]

        def python_error(mapping):
            with pytest.raises(TypeError) as info:
                Loose().check_input(content="x", **mapping)
            return str(info.value)

        engine = Loose()
        for mapping in (UserDict(content="other"), [("user", "u")]):
            result = check(GuardrailManager(engine), "x", mapping)
            assert result.reason == "Error checking content: " + python_error(mapping)
        assert engine.calls == []


class TestErrorPolicy:
    def test_conservative_default(self, caplog):
        failing, later = Engine(error=ValueError("broken")), Engine()
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            result = check(GuardrailManager([failing, later]), "x")
        assert result == GuardrailResult.unsafe("Error checking content: broken")
        assert later.calls == []
        (record,) = caplog.records
        assert record.levelno == logging.ERROR
        assert record.getMessage() == "Error checking content with guardrails engine Engine: broken"
        assert isinstance(record.exc_info[1], ValueError)

    def test_fail_open_skips_the_engine(self, caplog):
        failing, later = Engine(error=ValueError("broken")), Engine(input_result=GuardrailResult.safe(score=0.1))
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            result = check(GuardrailManager([failing, later], error_conservative=False), "x")
        assert result == GuardrailResult.safe(score=0.1) and later.calls
        assert len(caplog.records) == 1
        assert check(GuardrailManager(Engine(error=KeyError()), error_conservative=False), "x") == GuardrailResult.safe()

    def test_listed_errors_are_logged_then_raised(self, caplog):
        error = ValueError("broken")
        manager = GuardrailManager(Engine(error=error), raise_on_exceptions=(ValueError,))
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            with pytest.raises(ValueError) as info:
                check(manager, "x")
        assert info.value is error and len(caplog.records) == 1

    def test_empty_error_text(self):
        result = check(GuardrailManager(Engine(error=RuntimeError())), "x")
        assert result.reason == "Error checking content: "

    def test_invoker_errors_pass_unlogged(self, caplog):
        error = InvokerRuntimeError("Invoker", "model down")
        later = Engine()
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(BaseInvokerError) as info:
                check(GuardrailManager([Engine(error=error), later], error_conservative=False), "x")
        assert info.value is error and later.calls == [] and caplog.records == []

    def test_cancellation_passes(self):
        async def main():
            started = asyncio.Event()

            class Slow(Engine):
                async def check_input(self, content, **kwargs):
                    started.set()
                    await asyncio.sleep(10)

            task = asyncio.create_task(GuardrailManager(Slow()).check_content("x"))
            await started.wait()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(main())
        with pytest.raises(KeyboardInterrupt):
            check(GuardrailManager(Engine(error=KeyboardInterrupt())), "x")

    def test_result_without_is_safe_is_not_handled(self):
        engine = Engine()
        engine.input_result = object()
        with pytest.raises(AttributeError):
            check(GuardrailManager(engine), "x")

    def test_handle_engine_error_directly(self, caplog):
        manager = GuardrailManager(Engine())
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            assert manager._handle_engine_error(ValueError("v"), "log", "why") == GuardrailResult.unsafe("why")
        assert caplog.records[0].getMessage() == "log"
        manager.error_conservative = False
        assert manager._handle_engine_error(ValueError("v"), "log", "why") is None


class TestComponentEntry:
    def test_run(self):
        engine = Engine()
        manager = GuardrailManager(engine)
        assert asyncio.run(manager._run(content="x", other=1)) == GuardrailResult.safe()
        asyncio.run(manager._run(content="y", engine_kwargs={"k": 1}))
        assert [c[2] for c in engine.calls] == [{}, {"k": 1}]
        assert asyncio.run(manager.run(content="z")) == GuardrailResult.safe()
        with pytest.raises(ValueError, match="^Content is required$"):
            asyncio.run(manager._run(engine_kwargs={}))
        with pytest.raises(TypeError):
            manager._run("positional")


class TestModuleFrame:
    def test_stream_terminated(self):
        marker = GuardrailStreamChunk(chunk="", is_safe=False, reason="blocked")
        signal = _StreamTerminated(marker)
        assert signal.terminal is marker and str(signal) == "blocked"
        assert str(_StreamTerminated(GuardrailStreamChunk(chunk="", is_safe=False))) == "Stream blocked"
        assert str(_StreamTerminated(GuardrailStreamChunk(chunk="", is_safe=False, reason=""))) == "Stream blocked"
        assert type(signal).__mro__[1] is Exception

    def test_logger_and_statics(self):
        import vadrel_guardrail.guardrail_manager as module

        assert module.logger is logging.getLogger(LOGGER)
        merged = GuardrailManager._merge_safe_result(GuardrailResult.safe("a", 0.5), GuardrailResult.safe(None, None))
        assert (merged.filtered_content, merged.score) == ("a", None)
        assert GuardrailManager.__doc__.startswith("Manage content guardrails using pluggable engines.")
        assert isinstance(GuardrailManager(Engine()).engines[0], GuardrailEngine)


def test_a_setting_whose_truth_fails_raises():
    class Undecided:
        def __bool__(self):
            raise LookupError("undecidable")

    manager = GuardrailManager(Engine(error=ValueError("broken")), error_conservative=Undecided())
    with pytest.raises(LookupError, match="undecidable"):
        check(manager, "x")


def test_default_engine_is_built_from_the_modules_names(monkeypatch):
    import vadrel_guardrail.guardrail_manager as module

    calls = []

    class FakeEngine:
        @classmethod
        def from_config(cls, **kwargs):
            calls.append(kwargs)
            return Engine()

    monkeypatch.setattr(module, "DMGuardrailEngine", FakeEngine)
    monkeypatch.setattr(module, "DEFAULT_DM_MODEL_ID", "local/model")
    manager = GuardrailManager()
    assert check(manager, "hello").is_safe
    (kwargs,) = calls
    assert kwargs["model_id"] == "local/model"
    assert isinstance(kwargs["engine_config"], module.DMGuardrailEngineConfig)
