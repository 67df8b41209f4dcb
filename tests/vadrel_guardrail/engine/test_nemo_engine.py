import os
import sys
import asyncio
import logging
import threading
import types

import pytest
from nemoguardrails import LLMRails, RailsConfig

sys.path.insert(0, os.path.dirname(__file__))  # the shared doubles beside this file
from nemo_doubles import CannedInvoker, FixedContent, FixedTopic, refuse_embedding_models, refuse_remote_connections, run
from vadrel_guardrail.adapter.nemo_adapter import NeMoLMAdapter
from vadrel_guardrail.constants import NEMO_BASE_CONFIG_PATH, GuardrailMode
from vadrel_guardrail.engine import nemo_engine
from vadrel_guardrail.engine.base_engine import (
    BaseGuardrailEngineConfig,
    GuardrailEngine,
    GuardrailStreamBufferLimitError,
    StreamingGuardrailEngine,
)
from vadrel_guardrail.engine.nemo_engine import NemoGuardrailEngine, NemoGuardrailEngineConfig
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk
from vadrel_inference.schema import ModelId

LOGGER = "vadrel_guardrail.engine.nemo_engine"
REGISTERED = "Registered NeMo Guardrails provider: vadrel_invoker"
INITIALIZED = "NeMo guardrails engine initialized"


@pytest.fixture(autouse=True)
def offline(monkeypatch):
    refuse_remote_connections(monkeypatch)
    refuse_embedding_models(monkeypatch)


@pytest.fixture
def unregistered(monkeypatch):
    monkeypatch.setattr(NemoGuardrailEngine, "_is_registered", False)


@pytest.fixture
def nemo_logger_level():
    logger = logging.getLogger("nemoguardrails")
    saved = logger.level
    yield logger
    logger.setLevel(saved)


def records(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def config(**kwargs):
    kwargs.setdefault("content_safety_config", FixedContent())
    return NemoGuardrailEngineConfig(**kwargs)


class TestClass:
    def test_shape(self):
        assert NemoGuardrailEngine.__bases__ == (GuardrailEngine,)
        names = [n for n in vars(NemoGuardrailEngine) if not n.startswith("__")]
        assert names[:2] == ["_registration_lock", "_is_registered"]
        assert names.index("requires_full_stream") == names.index("check_output") + 1
        assert NemoGuardrailEngine.requires_full_stream is True
        assert type(NemoGuardrailEngine._registration_lock) is type(threading.Lock())
        assert isinstance(vars(NemoGuardrailEngine)["_configure_nemo_logging"], staticmethod)
        assert isinstance(vars(NemoGuardrailEngine)["_ensure_provider_registered"], classmethod)

    def test_a_real_engine_satisfies_both_interfaces(self):
        engine = NemoGuardrailEngine(config())
        assert isinstance(engine, GuardrailEngine)
        assert isinstance(engine, StreamingGuardrailEngine)
        assert isinstance(engine.rails, LLMRails)
        assert engine.rails.llm is None


class TestConstruction:
    @pytest.mark.parametrize("bad", [None, {}, BaseGuardrailEngineConfig()])
    def test_other_configurations_are_refused_before_anything(self, bad, unregistered, nemo_logger_level,
                                                              monkeypatch):
        nemo_logger_level.setLevel(logging.DEBUG)
        monkeypatch.setattr(nemo_engine, "register_provider", lambda *a: pytest.fail("registration tried"))
        with pytest.raises(TypeError, match="^config must be a NemoGuardrailEngineConfig instance$"):
            NemoGuardrailEngine(bad)
        assert nemo_logger_level.level == logging.DEBUG
        assert NemoGuardrailEngine._is_registered is False

    def test_a_subclass_of_the_configuration_is_accepted(self):
        class Mine(NemoGuardrailEngineConfig):
            pass

        cfg = Mine(topic_safety_config=FixedTopic())
        engine = NemoGuardrailEngine(config=cfg)
        assert engine.config is cfg

    def test_registration_once_then_only_the_init_line(self, unregistered, monkeypatch, caplog):
        calls = []
        monkeypatch.setattr(nemo_engine, "register_provider", lambda *a: calls.append(a))
        caplog.set_level(logging.INFO, logger=LOGGER)
        NemoGuardrailEngine(config())
        NemoGuardrailEngine(config())
        assert calls == [("vadrel_invoker", NeMoLMAdapter)]
        assert records(caplog) == [("INFO", REGISTERED), ("INFO", INITIALIZED), ("INFO", INITIALIZED)]
        assert NemoGuardrailEngine._is_registered is True

    def test_failed_registration_warns_every_time_until_one_succeeds(self, unregistered, monkeypatch, caplog):
        outcomes = [RuntimeError("provider table locked"), RuntimeError(""), None]

        def register(name, cls):
            outcome = outcomes.pop(0)
            if outcome is not None:
                raise outcome

        monkeypatch.setattr(nemo_engine, "register_provider", register)
        caplog.set_level(logging.INFO, logger=LOGGER)
        for _ in range(4):
            assert isinstance(NemoGuardrailEngine(config()).rails, LLMRails)
        assert records(caplog) == [
            ("WARNING", "Failed to register guardrails provider: provider table locked"), ("INFO", INITIALIZED),
            ("WARNING", "Failed to register guardrails provider: "), ("INFO", INITIALIZED),
            ("INFO", REGISTERED), ("INFO", INITIALIZED),
            ("INFO", INITIALIZED),
        ]

    def test_a_subclass_registering_first_sets_the_flag_for_every_engine(self, unregistered, monkeypatch):
        calls = []
        monkeypatch.setattr(nemo_engine, "register_provider", lambda *a: calls.append(a))

        class Mine(NemoGuardrailEngine):
            pass

        Mine(config())
        NemoGuardrailEngine(config())
        assert len(calls) == 1
        assert "_is_registered" not in vars(Mine)
        assert NemoGuardrailEngine._is_registered is True

    def test_registration_function_registers_every_call(self, monkeypatch):
        calls = []
        monkeypatch.setattr(nemo_engine, "register_provider", lambda *a: calls.append(a))
        monkeypatch.setattr(NemoGuardrailEngine, "_is_registered", True)
        assert nemo_engine.init_guardrails_provider_registration() is True
        assert nemo_engine.init_guardrails_provider_registration() is True
        assert len(calls) == 2
        assert NemoGuardrailEngine._is_registered is True

    def test_registration_lets_interruptions_through_and_releases_the_lock(self, unregistered, monkeypatch):
        def interrupt(*a):
            raise KeyboardInterrupt

        monkeypatch.setattr(nemo_engine, "register_provider", interrupt)
        with pytest.raises(KeyboardInterrupt):
            NemoGuardrailEngine(config())
        assert not NemoGuardrailEngine._registration_lock.locked()
        assert NemoGuardrailEngine._is_registered is False

    def test_registration_runs_under_the_lock_and_tests_the_flag_again(self, unregistered, monkeypatch):
        held = []
        monkeypatch.setattr(nemo_engine, "register_provider",
                            lambda *a: held.append(NemoGuardrailEngine._registration_lock.locked()))
        NemoGuardrailEngine._ensure_provider_registered()
        assert held == [True]

        # A construction that finds the flag set once it holds the lock does not register again.
        class Flag:
            reads = 0

            def __bool__(self):
                Flag.reads += 1
                return Flag.reads > 1

        monkeypatch.setattr(NemoGuardrailEngine, "_is_registered", Flag())
        NemoGuardrailEngine._ensure_provider_registered()
        assert held == [True] and Flag.reads == 2

    @pytest.mark.parametrize("root, own, expected", [
        (logging.INFO, logging.NOTSET, logging.WARNING),
        (logging.INFO, logging.ERROR, logging.ERROR),
        (logging.WARNING, logging.NOTSET, logging.NOTSET),
        (logging.DEBUG, logging.WARNING, logging.WARNING),
    ])
    def test_the_rails_library_logger_is_held_to_warnings(self, root, own, expected, nemo_logger_level):
        root_logger = logging.getLogger()
        saved = root_logger.level
        try:
            root_logger.setLevel(root)
            nemo_logger_level.setLevel(own)
            NemoGuardrailEngine._configure_nemo_logging()
            assert nemo_logger_level.level == expected
        finally:
            root_logger.setLevel(saved)


class TestRailsConfiguration:
    @pytest.fixture
    def recorded(self, monkeypatch):
        """LLMRails that records its arguments and builds nothing."""
        made = []

        def rails(**kwargs):
            made.append(kwargs)
            return types.SimpleNamespace(**kwargs)

        monkeypatch.setattr(nemo_engine, "LLMRails", rails)
        return made

    def test_without_extra_configuration_the_base_object_itself(self, recorded, monkeypatch):
        base = RailsConfig.from_path(NEMO_BASE_CONFIG_PATH)
        from_path = []

        class Rails:
            @staticmethod
            def from_path(path):
                from_path.append(path)
                return base

            @staticmethod
            def from_content(**kwargs):
                pytest.fail("from_content called")

        monkeypatch.setattr(nemo_engine, "RailsConfig", Rails)
        NemoGuardrailEngine(config())
        assert from_path == [NEMO_BASE_CONFIG_PATH]
        assert recorded[0]["config"] is base
        assert list(recorded[0]) == ["config", "llm"]

    def test_extra_configuration_goes_left_of_the_base(self, recorded):
        engine = NemoGuardrailEngine(config(nemo_kwargs={
            "yaml_content": "instructions:\n  - type: general\n    content: extra instructions\n",
            "colang_content": "define user greet\n  \"hello\"\n"}))
        merged = recorded[0]["config"]
        assert isinstance(merged, RailsConfig)
        # NeMo Guardrails' addition lets its right operand, the base, lead where both have entries.
        assert [i.content for i in merged.instructions][1] == "extra instructions"
        assert merged.instructions[0].content.startswith("You are a content-safety checker.")
        assert merged.user_messages == {"greet": ["hello"]}
        assert merged.rails.input.flows == ["self check input"]
        assert merged.config_path == NEMO_BASE_CONFIG_PATH
        assert engine._build_rails_config() is not merged

    def test_an_empty_mapping_still_builds_an_extra_configuration(self, recorded, monkeypatch):
        calls = []

        class Extra:
            def __add__(self, other):
                calls.append(("add", other))
                return "merged"

        class Rails:
            from_path = staticmethod(lambda path: "base")

            @staticmethod
            def from_content(**kwargs):
                calls.append(("from_content", kwargs))
                return Extra()

        monkeypatch.setattr(nemo_engine, "RailsConfig", Rails)
        NemoGuardrailEngine(config(nemo_kwargs={}))
        assert calls == [("from_content", {}), ("add", "base")]
        assert recorded[0]["config"] == "merged"

    def test_a_base_directory_that_cannot_load_is_a_value_error(self, recorded, unregistered, monkeypatch):
        monkeypatch.setattr(nemo_engine, "register_provider", lambda *a: None)
        monkeypatch.setattr(nemo_engine, "NEMO_BASE_CONFIG_PATH", "/nonexistent/nemo_config")
        with pytest.raises(ValueError, match="^Failed to create RailsConfig: ") as info:
            NemoGuardrailEngine(config())
        assert isinstance(info.value.__cause__, ValueError)
        assert str(info.value) == "Failed to create RailsConfig: " + str(info.value.__cause__)
        assert recorded == []
        assert NemoGuardrailEngine._is_registered is True

    @pytest.mark.parametrize("kwargs", [{"not_a_parameter": 1}, {"yaml_content": "models: [\n"}])
    def test_an_extra_configuration_that_fails_is_a_merge_value_error(self, recorded, kwargs):
        with pytest.raises(ValueError, match="^Failed to merge RailsConfig: ") as info:
            NemoGuardrailEngine(config(nemo_kwargs=kwargs))
        assert info.value.__cause__ is not None
        assert not isinstance(info.value, RuntimeError)

    def test_a_failing_addition_is_a_merge_value_error(self, recorded):
        with pytest.raises(ValueError, match="^Failed to merge RailsConfig: Both config files should have the same"):
            NemoGuardrailEngine(config(nemo_kwargs={"config": {"actions_server_url": "http://127.0.0.1:1"}}))

    @pytest.mark.parametrize("where", ["create", "merge", "runtime"])
    def test_converted_errors_are_raised_from_their_cause_also_inside_a_callers_handler(self, where, monkeypatch):
        # As `raise ... from cause` in the handler of the cause: the cause is the context too, never the
        # exception that the caller of the constructor happens to be handling.
        if where == "create":
            monkeypatch.setattr(nemo_engine, "NEMO_BASE_CONFIG_PATH", "/nonexistent/nemo_config")
        elif where == "runtime":
            monkeypatch.setattr(nemo_engine, "LLMRails", lambda **kwargs: 1 / 0)
        kwargs = {"nemo_kwargs": {"not_a_parameter": 1}} if where == "merge" else {}
        expected = RuntimeError if where == "runtime" else ValueError
        try:
            raise KeyError("the caller's own")
        except KeyError:
            with pytest.raises(expected) as info:
                NemoGuardrailEngine(config(**kwargs))
        assert info.value.__cause__ is not None
        assert info.value.__context__ is info.value.__cause__
        assert info.value.__suppress_context__ is True

    def test_interruptions_are_not_converted(self, recorded, monkeypatch):
        class Rails:
            @staticmethod
            def from_path(path):
                raise KeyboardInterrupt

        monkeypatch.setattr(nemo_engine, "RailsConfig", Rails)
        with pytest.raises(KeyboardInterrupt):
            NemoGuardrailEngine(config())


class TestRuntime:
    @pytest.mark.parametrize("model_id", ["openai/primary", ModelId(provider="openai", name="primary")])
    def test_an_invoker_gets_an_adapter_that_the_runtime_uses(self, monkeypatch, model_id):
        made = []

        class Adapter(NeMoLMAdapter):
            def __init__(self, **kwargs):
                made.append(kwargs)
                super().__init__(**kwargs)

        monkeypatch.setattr(nemo_engine, "NeMoLMAdapter", Adapter)
        invoker = CannedInvoker(model_id=model_id)
        fallbacks = [CannedInvoker(model_id="openai/second")]
        engine = NemoGuardrailEngine(config(lm_invoker=invoker, fallback_lms=fallbacks))
        assert list(made[0]) == ["model", "lm_invoker", "fallback_lms"]
        assert made[0]["model"] == "openai/primary"
        assert made[0]["lm_invoker"] is invoker
        assert made[0]["fallback_lms"] is engine.config.fallback_lms
        assert isinstance(engine.rails.llm, Adapter)

    def test_an_invoker_that_tests_false_counts_as_absent(self, monkeypatch):
        class Falsy(CannedInvoker):
            def __bool__(self):
                return False

        monkeypatch.setattr(nemo_engine, "NeMoLMAdapter", lambda **k: pytest.fail("adapter built"))
        assert NemoGuardrailEngine(config(lm_invoker=Falsy())).rails.llm is None

    def test_a_main_model_given_through_extra_configuration_is_replaced(self):
        invoker = CannedInvoker(model_id="openai/primary")
        engine = NemoGuardrailEngine(config(
            lm_invoker=invoker,
            nemo_kwargs={"config": {"models": [{"type": "main", "engine": "openai", "model": "gpt-elsewhere"}]}}))
        assert isinstance(engine.rails.llm, NeMoLMAdapter)
        assert engine.rails.llm.lm_invoker is invoker

    @pytest.mark.parametrize("where", ["adapter", "runtime", "model_id"])
    def test_failures_are_runtime_errors_without_the_init_line(self, where, monkeypatch, caplog):
        error = LookupError(f"{where} broke")

        def broken(**kwargs):
            raise error

        class BadId(CannedInvoker):
            @property
            def model_id(self):
                raise error

            @model_id.setter
            def model_id(self, value):
                pass

        if where == "adapter":
            monkeypatch.setattr(nemo_engine, "NeMoLMAdapter", broken)
        elif where == "runtime":
            monkeypatch.setattr(nemo_engine, "LLMRails", broken)
        caplog.set_level(logging.INFO, logger=LOGGER)
        invoker = BadId() if where == "model_id" else CannedInvoker()
        with pytest.raises(RuntimeError, match=f"^Failed to initialize LLMRails: {where} broke$") as info:
            NemoGuardrailEngine(config(lm_invoker=invoker))
        assert info.value.__cause__ is error
        assert ("INFO", INITIALIZED) not in records(caplog)

    def test_construction_reaches_no_model_service(self):
        # The autouse fixture refuses remote connections and embeddings models; with a configured invoker and
        # extra flows the runtime still starts without either.
        engine = NemoGuardrailEngine(config(lm_invoker=CannedInvoker(), nemo_kwargs={
            "colang_content": "define user ask weather\n  \"what is the weather\"\n"}))
        assert engine.rails is not None


class FakeRails:
    """Records each run and answers with the scripted output data (or raises it)."""

    def __init__(self, output_data):
        self.output_data = output_data
        self.runs = []

    async def generate_async(self, **kwargs):
        self.runs.append(kwargs)
        if isinstance(self.output_data, BaseException):
            raise self.output_data
        return types.SimpleNamespace(output_data=self.output_data)


@pytest.fixture(scope="module")
def shared_engine():
    return NemoGuardrailEngine(NemoGuardrailEngineConfig(content_safety_config=FixedContent()))


def engine_with(shared_engine, output_data, **config_kwargs):
    """An engine whose rails answer with `output_data` (one real construction, shared; rails replaced)."""
    engine = object.__new__(NemoGuardrailEngine)
    engine.config = NemoGuardrailEngineConfig(**(config_kwargs or {"content_safety_config": FixedContent()}))
    engine.rails = FakeRails(output_data)
    return engine


class TestChecks:
    @pytest.mark.parametrize("operation", ["check_input", "check_output"])
    def test_an_engine_without_rails_refuses_before_any_work(self, operation):
        log = []
        engine = object.__new__(NemoGuardrailEngine)
        engine.config = NemoGuardrailEngineConfig(content_safety_config=FixedContent(log=log))
        engine.rails = None
        with pytest.raises(RuntimeError, match="^Guardrail engine is not initialized$"):
            run(getattr(engine, operation)(content="text"))
        assert log == []

    def test_input_exchange(self, shared_engine):
        log = []
        engine = engine_with(shared_engine, {"response": [True]}, topic_safety_config=FixedTopic("T", log),
                             content_safety_config=FixedContent("C", log))
        result = run(engine.check_input(content="hello", trace_attributes={"x": 1}))
        assert result == GuardrailResult.safe()
        assert engine.rails.runs == [{
            "messages": [{"role": "context", "content": {"safety_context": {"topic_safety": "T", "content_safety": "C"}}},
                         {"role": "user", "content": "hello"}],
            "options": {"rails": ["input"], "output_vars": ["response"]},
            "state": {},
        }]
        run_ = engine.rails.runs[0]
        assert list(run_) == ["messages", "options", "state"]
        assert list(run_["options"]) == ["rails", "output_vars"]
        assert list(run_["messages"][0]["content"]["safety_context"]) == ["topic_safety", "content_safety"]
        assert log == ["topic", "content"]

    def test_output_exchange(self, shared_engine):
        engine = engine_with(shared_engine, {"response": [True]}, topic_safety_config=FixedTopic(""))
        run(engine.check_output(content="answer"))
        run(engine.check_output(content="answer"))
        first, second = engine.rails.runs
        assert first["messages"] == [{"role": "context", "content": {"safety_context": {"topic_safety": ""}}},
                                     {"role": "user", "content": ""}, {"role": "assistant", "content": "answer"}]
        assert first["options"] == {"rails": ["output"], "output_vars": ["response"]}
        assert first["messages"][1] is not second["messages"][1]
        assert first["state"] == {} and first["state"] is not second["state"]

    def test_only_the_content_builder(self, shared_engine):
        engine = engine_with(shared_engine, {"response": [True]}, content_safety_config=FixedContent("C"))
        run(engine.check_input(content="x"))
        assert engine.rails.runs[0]["messages"][0] == {"role": "context",
                                                       "content": {"safety_context": {"content_safety": "C"}}}

    def test_the_caller_conversation_is_not_changed(self, shared_engine):
        engine = engine_with(shared_engine, {"response": [True]})
        conversation = [{"role": "user", "content": "hi"}]
        run(engine._run_nemo_safety_check(conversation, "input"))
        assert conversation == [{"role": "user", "content": "hi"}]
        assert engine.rails.runs[0]["messages"][1:] == conversation

    @pytest.mark.parametrize("response, expected", [
        ([False], GuardrailResult.unsafe("Unsafe content detected")),
        ([False, "violence"], GuardrailResult.unsafe("violence")),
        ([False, "violence", "extra"], GuardrailResult.unsafe("violence")),
        ([0, "zero"], GuardrailResult.unsafe("zero")),
        ([None], GuardrailResult.unsafe("Unsafe content detected")),
        (["", "empty"], GuardrailResult.unsafe("empty")),
        ([True], GuardrailResult.safe()),
        ([True, "ignored"], GuardrailResult.safe()),
        (["yes"], GuardrailResult.safe()),
    ])
    def test_verdicts(self, shared_engine, response, expected, caplog):
        engine = engine_with(shared_engine, {"response": response})
        assert run(engine.check_input(content="x")) == expected
        assert records(caplog) == []

    @pytest.mark.parametrize("output_data, shown", [
        ({"response": []}, "[]"), ({}, "None"), (None, "None"), ({"other": 1}, "None"),
        ({"response": "False"}, "False"), ({"response": (False, "tuple")}, "(False, 'tuple')"),
    ])
    def test_unreadable_verdicts_fail_open_with_one_error_line(self, shared_engine, output_data, shown, caplog):
        engine = engine_with(shared_engine, output_data)
        assert run(engine.check_output(content="x")) == GuardrailResult.safe()
        assert records(caplog) == [("ERROR", "Invalid safety response format from NeMo: " + shown)]

    def test_rails_errors_pass_unchanged_and_unlogged(self, shared_engine, caplog):
        error = ConnectionError("model down")
        engine = engine_with(shared_engine, error)
        with pytest.raises(ConnectionError) as info:
            run(engine.check_input(content="x"))
        assert info.value is error
        assert records(caplog) == []

    def test_builder_errors_pass_unchanged(self, shared_engine):
        class Broken(FixedContent):
            def get_string(self):
                raise KeyError("template")

        engine = engine_with(shared_engine, {"response": [True]}, content_safety_config=Broken())
        with pytest.raises(KeyError):
            run(engine.check_input(content="x"))
        assert engine.rails.runs == []

    def test_builders_are_read_on_every_check(self, shared_engine):
        engine = engine_with(shared_engine, {"response": [True]}, content_safety_config=FixedContent("one"))
        run(engine.check_input(content="x"))
        engine.config.content_safety_config = FixedContent("two")
        run(engine.check_input(content="x"))
        assert [r["messages"][0]["content"]["safety_context"]["content_safety"] for r in engine.rails.runs] == [
            "one", "two"]

    def test_concurrent_checks_on_one_engine(self, shared_engine):
        engine = engine_with(shared_engine, {"response": [True]})

        async def many():
            return await asyncio.gather(*(engine.check_input(content=str(i)) for i in range(20)))

        assert all(r.is_safe for r in run(many()))
        assert sorted(r["messages"][1]["content"] for r in engine.rails.runs) == sorted(str(i) for i in range(20))

    def test_checks_are_coroutines_with_their_names(self, shared_engine):
        engine = engine_with(shared_engine, {"response": [True]})
        coro = engine.check_input(content="x")
        assert asyncio.iscoroutine(coro)
        assert coro.__qualname__ == "NemoGuardrailEngine.check_input"
        run(coro)


class HeldRails:
    """Rails whose runs wait until the loop's event is set; counts the runs in progress."""

    def __init__(self):
        self.running = 0
        self.most = 0
        self.go = None

    async def generate_async(self, **kwargs):
        self.running += 1
        self.most = max(self.most, self.running)
        try:
            await self.go.wait()
        finally:
            self.running -= 1
        return types.SimpleNamespace(output_data={"response": [False, "S6"]})


async def settle():
    for _ in range(10):
        await asyncio.sleep(0)


class TestConcurrentRuns:
    @pytest.mark.parametrize("connections, limit", [(3, 3), (None, 100), (0, 100), ("3", 100)])
    def test_as_many_runs_as_the_judge_has_connections_and_none_lost(self, shared_engine, connections, limit):
        invoker = CannedInvoker()
        if connections is not None:
            invoker.max_connections = connections
        engine = engine_with(shared_engine, None, lm_invoker=invoker, content_safety_config=FixedContent())
        rails = engine.rails = HeldRails()

        async def burst():
            rails.go = asyncio.Event()
            checks = [asyncio.create_task(engine.check_input(content=str(i))) for i in range(limit + 3)]
            await settle()
            assert rails.running == limit
            # One check cancelled while it runs the rails, one while it waits for its turn.
            checks[0].cancel()
            checks[-1].cancel()
            await settle()
            assert rails.running == limit
            rails.go.set()
            results = await asyncio.gather(*checks, return_exceptions=True)
            assert isinstance(results[0], asyncio.CancelledError) and isinstance(results[-1], asyncio.CancelledError)
            assert {(r.is_safe, r.reason) for r in results[1:-1]} == {(False, "S6")}

        async def twice():
            await burst()
            await burst()  # every slot came back

        run(twice())
        run(twice())  # another event loop gets slots of its own
        assert rails.most == limit


async def source(chunks, seen=None):
    for chunk in chunks:
        if seen is not None:
            seen.append(chunk)
        yield chunk


async def collect(stream):
    return [item async for item in stream]


class TestStreams:
    @pytest.mark.parametrize("direction, rail", [("check_input_stream", "input"), ("check_output_stream", "output")])
    def test_a_safe_stream_is_released_whole_after_one_check(self, shared_engine, direction, rail):
        engine = engine_with(shared_engine, {"response": [True]})
        seen = []
        stream = getattr(engine, direction)(source(["a", "b", "c"], seen))
        assert seen == []  # nothing is read before the caller iterates
        items = run(collect(stream))
        assert items == [GuardrailStreamChunk(chunk=c, is_safe=True) for c in "abc"]
        assert len(engine.rails.runs) == 1
        assert engine.rails.runs[0]["options"]["rails"] == [rail]
        assert engine.rails.runs[0]["messages"][-1]["content"] == "abc"

    def test_an_unsafe_stream_ends_with_one_terminal_marker(self, shared_engine):
        engine = engine_with(shared_engine, {"response": [False, "S1"]})
        items = run(collect(engine.check_input_stream(source(["bad ", "text"]))))
        assert items == [GuardrailStreamChunk(chunk="", is_safe=False, reason="S1")]

    def test_caps_and_keywords_reach_the_adapter(self, shared_engine):
        engine = engine_with(shared_engine, {"response": [True]})
        with pytest.raises(GuardrailStreamBufferLimitError) as info:
            run(collect(engine.check_output_stream(source(["a", "b", "c"]), max_stream_buffer_chunks=2,
                                                   trace_attributes={"x": 1})))
        assert info.value.limit_kind == "chunks"
        with pytest.raises(GuardrailStreamBufferLimitError) as info:
            run(collect(engine.check_input_stream(source(["abcd"]), max_stream_buffer_bytes=3)))
        assert info.value.limit_kind == "bytes"
        assert engine.rails.runs == []
