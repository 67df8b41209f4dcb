import os
import subprocess
import sys
import textwrap

import pydantic
import pytest

sys.path.insert(0, os.path.dirname(__file__))  # the shared doubles beside this file
from nemo_doubles import CannedInvoker, FixedContent, FixedTopic
from vadrel_guardrail.constants import GuardrailMode
from vadrel_guardrail.engine import nemo_engine
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig
from vadrel_guardrail.engine.nemo_engine import NemoGuardrailEngineConfig

MISSING = "At least one of `content_safety_config` or `topic_safety_config` must be provided."


class TestFields:
    def test_order_types_and_base(self):
        assert NemoGuardrailEngineConfig.__bases__ == (BaseGuardrailEngineConfig,)
        assert list(NemoGuardrailEngineConfig.model_fields) == [
            "guardrail_mode", "lm_invoker", "fallback_lms", "nemo_kwargs", "content_safety_config",
            "topic_safety_config",
        ]
        for name, field in NemoGuardrailEngineConfig.model_fields.items():
            if name != "guardrail_mode":
                assert field.description is None

    @pytest.mark.parametrize("builder", [FixedContent, FixedTopic])
    def test_one_builder_is_enough_and_the_rest_defaults(self, builder):
        config = NemoGuardrailEngineConfig(**{
            "content_safety_config" if builder is FixedContent else "topic_safety_config": builder()})
        assert config.guardrail_mode is GuardrailMode.INPUT_ONLY
        assert config.lm_invoker is None
        assert config.fallback_lms == []
        assert config.nemo_kwargs is None
        other = config.topic_safety_config if builder is FixedContent else config.content_safety_config
        assert other is None

    @pytest.mark.parametrize("kwargs", [{}, {"lm_invoker": CannedInvoker()},
                                        {"content_safety_config": None, "topic_safety_config": None}])
    def test_without_any_builder_is_refused(self, kwargs):
        with pytest.raises(pydantic.ValidationError, match=MISSING):
            NemoGuardrailEngineConfig(**kwargs)

    def test_a_builder_with_empty_text_counts_as_present(self):
        assert NemoGuardrailEngineConfig(topic_safety_config=FixedTopic("")).topic_safety_config.text == ""

    def test_fallback_lists_are_not_shared(self):
        a = NemoGuardrailEngineConfig(topic_safety_config=FixedTopic())
        b = NemoGuardrailEngineConfig(topic_safety_config=FixedTopic())
        a.fallback_lms.append(CannedInvoker())
        assert b.fallback_lms == []

    def test_objects_are_held_not_copied(self):
        invoker, fallback, content = CannedInvoker(), CannedInvoker(), FixedContent()
        config = NemoGuardrailEngineConfig(lm_invoker=invoker, fallback_lms=[fallback], content_safety_config=content)
        assert config.lm_invoker is invoker
        assert config.fallback_lms[0] is fallback
        assert config.content_safety_config is content

    @pytest.mark.parametrize("kwargs", [
        {"fallback_lms": None},
        {"fallback_lms": ["not an invoker"]},
        {"lm_invoker": "not an invoker"},
        {"nemo_kwargs": ["not", "a", "mapping"]},
        {"content_safety_config": FixedTopic()},
    ])
    def test_wrong_field_values_are_refused_before_the_invariant(self, kwargs):
        kwargs = {"topic_safety_config": FixedTopic(), **kwargs}
        with pytest.raises(pydantic.ValidationError) as info:
            NemoGuardrailEngineConfig(**kwargs)
        assert MISSING not in str(info.value)

    def test_unknown_keywords_are_ignored_and_assignments_are_not_validated(self):
        config = NemoGuardrailEngineConfig(content_safety_config=FixedContent(), colour="blue")
        assert not hasattr(config, "colour")
        config.content_safety_config = None
        config.topic_safety_config = None
        assert config.content_safety_config is None


class TestFromModelConfig:
    @pytest.fixture
    def builds(self, monkeypatch):
        calls = []

        def build_lm_invoker(**kwargs):
            calls.append(kwargs)
            if isinstance(kwargs["model_id"], Exception):
                raise kwargs["model_id"]
            return CannedInvoker(model_id=kwargs["model_id"])

        monkeypatch.setattr(nemo_engine, "build_lm_invoker", build_lm_invoker)
        return calls

    def test_defaults_pass_none_and_give_a_new_empty_list(self, builds):
        content = FixedContent()
        config = NemoGuardrailEngineConfig.from_model_config("openai/some-model", content_safety_config=content)
        assert builds == [{"model_id": "openai/some-model", "credentials": None, "config": None}]
        assert list(builds[0]) == ["model_id", "credentials", "config"]
        assert config.lm_invoker.model_id == "openai/some-model"
        assert config.fallback_lms == []
        assert config.content_safety_config is content

    def test_arguments_by_position_and_further_fields(self, builds):
        fallbacks = [CannedInvoker(model_id="a/one"), CannedInvoker(model_id="a/two")]
        config = NemoGuardrailEngineConfig.from_model_config(
            "p/m", "key", {"temperature": 0}, fallbacks, guardrail_mode=GuardrailMode.BOTH,
            nemo_kwargs={"yaml_content": "x: 1"}, content_safety_config=FixedContent(),
            topic_safety_config=FixedTopic(), unknown=1)
        assert builds == [{"model_id": "p/m", "credentials": "key", "config": {"temperature": 0}}]
        assert [i.model_id for i in config.fallback_lms] == ["a/one", "a/two"]
        assert config.guardrail_mode is GuardrailMode.BOTH
        assert config.nemo_kwargs == {"yaml_content": "x: 1"}

    @pytest.mark.parametrize("fallbacks", [None, []])
    def test_no_fallbacks_give_an_empty_list(self, builds, fallbacks):
        config = NemoGuardrailEngineConfig.from_model_config("p/m", fallback_lms=fallbacks,
                                                             topic_safety_config=FixedTopic())
        assert config.fallback_lms == []
        assert config.fallback_lms is not fallbacks

    def test_repeating_the_invoker_keyword_is_a_type_error_after_the_build(self, builds):
        with pytest.raises(TypeError, match="multiple values for keyword argument 'lm_invoker'"):
            NemoGuardrailEngineConfig.from_model_config("p/m", topic_safety_config=FixedTopic(),
                                                        lm_invoker=CannedInvoker())
        assert len(builds) == 1

    def test_without_builder_the_invoker_is_built_then_refused(self, builds):
        with pytest.raises(pydantic.ValidationError, match=MISSING):
            NemoGuardrailEngineConfig.from_model_config("p/m")
        assert len(builds) == 1

    def test_builder_errors_pass_unchanged(self, builds):
        error = LookupError("no such model")
        with pytest.raises(LookupError) as info:
            NemoGuardrailEngineConfig.from_model_config(error, topic_safety_config=FixedTopic())
        assert info.value is error

    def test_called_on_a_subclass_builds_the_subclass(self, builds):
        class Mine(NemoGuardrailEngineConfig):
            pass

        assert type(Mine.from_model_config("p/m", topic_safety_config=FixedTopic())) is Mine

    def test_the_real_builder_is_used_by_default(self):
        config = NemoGuardrailEngineConfig.from_model_config(
            "openai/gpt-test", credentials="sk-test", config={"base_url": "http://127.0.0.1:9"},
            topic_safety_config=FixedTopic())
        assert str(config.lm_invoker.model_id) == "openai/gpt-test"


LOAD_WITH_OLD_LIBRARY = textwrap.dedent("""
    import logging
    logging.basicConfig(level=logging.WARNING, format="%(name)s|%(levelname)s|%(message)s")
    import vadrel_inference.builder
    import vadrel_inference.lm_invoker as current
    if {old}:
        del current.build_lm_invoker
    from vadrel_guardrail.engine import nemo_engine
    assert nemo_engine.build_lm_invoker is vadrel_inference.builder.build_lm_invoker
    import vadrel_guardrail
""")

DEPRECATION = ("vadrel_guardrail.engine.nemo_engine|WARNING|Importing build_lm_invoker from vadrel_inference.builder is "
               "deprecated and will be removed in a future release. Please upgrade vadrel-inference to >=0.6.0.")


@pytest.mark.parametrize("old", [True, False])
def test_loading_takes_the_builder_from_the_older_place_with_one_warning(old):
    env = dict(os.environ, NEMO_GUARDRAILS_NO_USAGE_STATS="1", DO_NOT_TRACK="1")
    done = subprocess.run([sys.executable, "-c", LOAD_WITH_OLD_LIBRARY.format(old=old)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = [line for line in done.stderr.splitlines() if "build_lm_invoker" in line]
    assert lines == ([DEPRECATION] if old else [])


def test_module_globals():
    assert nemo_engine.__doc__ == "Default NeMo Guardrails engine implementation."
    assert nemo_engine.logger.name == "vadrel_guardrail.engine.nemo_engine"
    assert nemo_engine.manager is not None
