"""Records, errors and invoker builders of vadrel_inference (no model call)."""

import pydantic
import pytest

from vadrel_inference.builder import build_dm_invoker as builder_build_dm_invoker
from vadrel_inference.builder import build_lm_invoker as builder_build_lm_invoker
from vadrel_inference.component import DMComponent
from vadrel_inference.dm_invoker import build_dm_invoker
from vadrel_inference.dm_invoker.dm_invoker import BaseDMInvoker
from vadrel_inference.exceptions import BaseInvokerError, InvokerRuntimeError
from vadrel_inference.lm_invoker import build_lm_invoker
from vadrel_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vadrel_inference.schema import (
    DMOutput,
    DMQuestion,
    LMOutput,
    Message,
    MessageRole,
    ModelId,
    TokenUsage,
    VeskAnswer,
)

DEFAULT_DM_MODEL_ID = "openrouter/brevano/olk-1.13"


class TestErrors:
    def test_text_names_the_raising_class(self):
        error = InvokerRuntimeError("SomeInvoker", "it broke")
        assert str(error) == "[SomeInvoker] it broke"
        assert (error.class_name, error.message) == ("SomeInvoker", "it broke")
        assert isinstance(error, BaseInvokerError) and isinstance(error, Exception)
        assert str(BaseInvokerError("Only")) == "[Only]"


class TestRecords:
    def test_model_id_round_trips_and_keeps_slashes_in_the_name(self):
        model_id = ModelId.from_string(DEFAULT_DM_MODEL_ID)
        assert (model_id.provider, model_id.name) == ("openrouter", "brevano/olk-1.13")
        assert str(model_id) == DEFAULT_DM_MODEL_ID
        assert model_id == ModelId(provider="openrouter", name="brevano/olk-1.13")
        assert hash(model_id) == hash(ModelId.from_string(DEFAULT_DM_MODEL_ID))
        # Any text splits, even one that UTF-8 cannot hold.
        assert ModelId.from_string("local/\udcff\u00e9/x").name == "\udcff\u00e9/x"

    @pytest.mark.parametrize("text", ["gpt-4o", "/gpt", "openai/", ""])
    def test_model_id_needs_provider_and_name(self, text):
        with pytest.raises(ValueError, match="provider"):
            ModelId.from_string(text)

    def test_messages_outputs_and_decisions(self):
        assert [MessageRole.SYSTEM, MessageRole.USER, MessageRole.ASSISTANT] == ["system", "user", "assistant"]
        message = Message(role="user", contents=["hello"])
        assert message.role is MessageRole.USER and message.contents == ["hello"]
        with pytest.raises(pydantic.ValidationError):
            Message(role="robot", contents=[])
        output = LMOutput()
        assert (output.text, output.structured_output, output.token_usage) == ("", None, None)
        assert TokenUsage() == TokenUsage(input_tokens=0, output_tokens=0)
        question = DMQuestion.vesk(instructions="Is it rude?", criteria={"true": "insults"})
        assert isinstance(question, DMQuestion)
        assert (question.instructions, question.criteria) == ("Is it rude?", {"true": "insults"})
        assert DMQuestion.vesk(instructions="x").criteria is None
        # Scores are kept exactly as given; their reader validates them.
        for score in (True, 1, 0.25, "0.7", None, 1.5):
            assert VeskAnswer(vesk=score).vesk == score
        assert DMOutput(answers={"a": VeskAnswer(vesk=0.5)}).answers["a"].vesk == 0.5


@pytest.fixture
def no_keys(monkeypatch):
    for name in ("OPENAI_API_KEY", "OPENROUTER_API_KEY", "LOCAL_API_KEY"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


class TestBuildLMInvoker:
    def test_both_import_places_offer_the_same_builders(self):
        assert builder_build_lm_invoker is build_lm_invoker
        assert builder_build_dm_invoker is build_dm_invoker

    @pytest.mark.parametrize(
        ("model_id", "base_url"),
        [("openai/gpt-4o-mini", "https://api.openai.com/v1"), (DEFAULT_DM_MODEL_ID, "https://openrouter.ai/api/v1")],
    )
    def test_provider_picks_the_default_base_url(self, no_keys, model_id, base_url):
        invoker = build_lm_invoker(model_id=model_id, credentials="key", config=None)
        assert isinstance(invoker, BaseLMInvoker)
        assert invoker.base_url == base_url
        assert invoker.model_id == model_id and str(invoker.model_id) == model_id
        assert invoker.response_schema is None

    def test_model_id_object_and_config(self, no_keys):
        model_id = ModelId.from_string("local/tiny")
        invoker = build_lm_invoker(
            model_id=model_id,
            credentials={"api_key": "k"},
            config={"base_url": "http://127.0.0.1:9/v1", "timeout": 3, "temperature": 0.0,
                    "hyperparameters": {"max_tokens": 5}},
        )
        assert invoker.model_id is model_id
        assert (invoker.base_url, invoker.timeout) == ("http://127.0.0.1:9/v1", 3)
        assert invoker.default_hyperparameters == {"temperature": 0.0, "max_tokens": 5}

    def test_unknown_provider_needs_a_base_url(self, no_keys):
        with pytest.raises(ValueError, match="base_url"):
            build_lm_invoker(model_id="local/tiny", credentials="k")

    def test_credentials_come_from_the_provider_variable(self, no_keys):
        with pytest.raises(ValueError, match="OPENAI_API_KEY"):
            build_lm_invoker(model_id="openai/gpt-4o-mini")
        no_keys.setenv("OPENAI_API_KEY", "from-env")
        assert build_lm_invoker(model_id="openai/gpt-4o-mini")._api_key == "from-env"
        assert build_lm_invoker(model_id="openai/gpt-4o-mini", credentials="given")._api_key == "given"

    def test_bad_arguments(self, no_keys):
        with pytest.raises(TypeError):
            build_lm_invoker(model_id=42, credentials="k")
        with pytest.raises(TypeError):
            build_lm_invoker(model_id="openai/x", credentials=42)
        with pytest.raises(TypeError):
            build_lm_invoker(model_id="openai/x", credentials="k", config=["base_url"])

    def test_invoker_bases_are_abstract(self):
        with pytest.raises(TypeError):
            BaseLMInvoker(model_id="openai/x")
        with pytest.raises(TypeError):
            BaseDMInvoker(model_id="openai/x")


class TestDMComponent:
    def test_default_model_without_key_fails_at_build_naming_the_variable(self, no_keys):
        with pytest.raises(ValueError, match="OPENROUTER_API_KEY"):
            DMComponent.from_config(model_id=DEFAULT_DM_MODEL_ID, engine_config=None)

    def test_from_config_builds_through_the_subclass_constructor(self, no_keys):
        no_keys.setenv("OPENROUTER_API_KEY", "env-key")
        seen = {}

        class Engine(DMComponent):
            def __init__(self, dm_invoker, engine_config=None):
                super().__init__(dm_invoker=dm_invoker)
                seen["config"] = engine_config

        engine = Engine.from_config(model_id=DEFAULT_DM_MODEL_ID, engine_config="cfg")
        assert isinstance(engine, Engine) and seen["config"] == "cfg"
        assert isinstance(engine.dm_invoker, BaseDMInvoker)
        assert engine.dm_invoker.model_id == DEFAULT_DM_MODEL_ID
        assert engine.dm_invoker.lm_invoker.base_url == "https://openrouter.ai/api/v1"
        assert engine.dm_invoker.lm_invoker._api_key == "env-key"


def test_package_surfaces():
    import vadrel_core
    import vadrel_inference
    from vadrel_core.schema import Component

    assert vadrel_inference.BaseLMInvoker is BaseLMInvoker
    assert vadrel_inference.ModelId is ModelId
    assert vadrel_inference.BaseInvokerError is BaseInvokerError
    assert vadrel_inference.DMComponent is DMComponent
    assert issubclass(DMComponent, Component)
    assert vadrel_core.Component is Component
