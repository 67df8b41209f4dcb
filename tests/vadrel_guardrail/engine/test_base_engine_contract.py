import pydantic
import pytest

from vadrel_guardrail.constants import GuardrailMode
from vadrel_guardrail.engine.base_engine import (
    BaseGuardrailEngineConfig,
    FullStreamGuardrailAdapter,
    GuardrailEngine,
    GuardrailStreamBufferLimitError,
    GuardrailStreamValidationError,
    StreamingGuardrailEngine,
)


class Members:
    def __init__(self, **members):
        self.__dict__.update(members)


class TestEngineConfig:
    def test_default_and_text_values(self):
        assert BaseGuardrailEngineConfig().guardrail_mode is GuardrailMode.INPUT_ONLY
        assert BaseGuardrailEngineConfig(guardrail_mode="output_only").guardrail_mode is GuardrailMode.OUTPUT_ONLY
        assert BaseGuardrailEngineConfig(guardrail_mode=GuardrailMode.BOTH).guardrail_mode is GuardrailMode.BOTH

    def test_rejects_names_none_and_other_text(self):
        for bad in ("BOTH", None, "sideways"):
            with pytest.raises(pydantic.ValidationError):
                BaseGuardrailEngineConfig(guardrail_mode=bad)

    def test_model_settings(self):
        assert BaseGuardrailEngineConfig.model_config["arbitrary_types_allowed"] is True
        assert BaseGuardrailEngineConfig.model_fields["guardrail_mode"].description is None
        assert "bogus" not in BaseGuardrailEngineConfig(bogus=1).model_dump()

        class WithArbitrary(BaseGuardrailEngineConfig):
            thing: Members

        assert isinstance(WithArbitrary(thing=Members()).thing, Members)
        with pytest.raises(pydantic.ValidationError):
            WithArbitrary(thing=3)


class TestGuardrailEngineTest:
    def test_structural_members(self):
        assert isinstance(Members(config=None, check_input=1, check_output=2), GuardrailEngine)
        assert isinstance(Members(config=object(), check_input=print, check_output=print), GuardrailEngine)
        assert not isinstance(Members(check_input=print, check_output=print), GuardrailEngine)
        assert not isinstance(Members(config=None, check_input=None, check_output=print), GuardrailEngine)
        assert not isinstance(Members(config=None, check_input=print), GuardrailEngine)

    def test_class_level_members_count(self):
        class Engine:
            config = None

            async def check_input(self, content, **kwargs):
                return None

            async def check_output(self, content, **kwargs):
                return None

        class Derived(Engine):
            pass

        assert isinstance(Derived(), GuardrailEngine)

    def test_dynamic_lookup_does_not_count(self):
        class Dynamic:
            def __getattr__(self, name):
                return print

        assert not isinstance(Dynamic(), GuardrailEngine)
        assert not isinstance(Dynamic(), StreamingGuardrailEngine)

    async def _await(self, awaitable):
        return await awaitable

    def test_declared_base_passes_without_members(self):
        import asyncio

        class Declared(GuardrailEngine):
            pass

        class Indirect(Declared):
            pass

        engine = Indirect()
        assert isinstance(engine, GuardrailEngine)
        assert asyncio.run(self._await(engine.check_input("text"))) is None
        assert asyncio.run(self._await(engine.check_output(content="text", extra=1))) is None

    def test_protocol_cannot_be_instantiated(self):
        with pytest.raises(TypeError):
            GuardrailEngine()


class TestStreamingEngineTest:
    def test_both_operations_needed(self):
        assert isinstance(Members(check_input_stream=1, check_output_stream=2), StreamingGuardrailEngine)
        assert not isinstance(Members(check_input_stream=1), StreamingGuardrailEngine)
        assert not isinstance(Members(check_input_stream=1, check_output_stream=None), StreamingGuardrailEngine)
        assert isinstance(
            Members(check_input_stream=1, check_output_stream=2, requires_full_stream=True), StreamingGuardrailEngine
        )

    def test_declared_base_operations_return_none(self):
        class Declared(StreamingGuardrailEngine):
            pass

        assert isinstance(Declared(), StreamingGuardrailEngine)
        assert Declared().check_input_stream([]) is None

    def test_full_stream_adapter(self):
        adapter = FullStreamGuardrailAdapter(engine=None)
        assert FullStreamGuardrailAdapter.requires_full_stream is True
        assert isinstance(adapter, StreamingGuardrailEngine)
        assert not isinstance(adapter, GuardrailEngine)


class TestStreamErrors:
    def test_buffer_limit_error(self):
        error = GuardrailStreamBufferLimitError("chunks", 3, 4)
        assert (error.limit_kind, error.configured_limit, error.attempted) == ("chunks", 3, 4)
        assert str(error) == "Strict stream buffer chunks limit exceeded: configured=3, attempted=4."
        assert error.args == (str(error),)
        assert not isinstance(error, ValueError)
        assert type(error).__mro__[1] is Exception
        assert not hasattr(error, "message")

    def test_buffer_limit_error_accepts_anything(self):
        error = GuardrailStreamBufferLimitError(None, "x", 2.5)
        assert str(error) == "Strict stream buffer None limit exceeded: configured=x, attempted=2.5."

    def test_validation_error(self):
        error = GuardrailStreamValidationError("Stream chunk must be a string")
        assert isinstance(error, ValueError)
        assert str(error) == "Stream chunk must be a string"
        assert error.args == ("Stream chunk must be a string",)
        with pytest.raises(ValueError):
            raise error
