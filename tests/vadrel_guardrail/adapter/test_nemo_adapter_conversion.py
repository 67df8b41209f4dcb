"""Construction, identity, message conversion and hyperparameter building of the NeMo model adapter."""

import logging

import pytest
from nemoguardrails import ChatMessage
from nemoguardrails.types import Role

from vadrel_guardrail.adapter.nemo_adapter import NeMoLMAdapter
from vadrel_inference.schema import Message, MessageRole, ModelId

from nemo_adapter_doubles import ScriptedInvoker

LOGGER = "vadrel_guardrail.adapter.nemo_adapter"


def adapter(**kwargs):
    return NeMoLMAdapter(lm_invoker=ScriptedInvoker(), **kwargs)


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]


def as_pairs(messages):
    assert all(isinstance(m, Message) for m in messages)
    return [(m.role, m.contents) for m in messages]


class TestConstruction:
    def test_attributes(self):
        primary, fallback = ScriptedInvoker(), ScriptedInvoker("test/fallback")
        fallbacks = [fallback]
        a = NeMoLMAdapter(model="named", lm_invoker=primary, fallback_lms=fallbacks, extra=1, api_key="x")
        assert vars(a) == {"model": "named", "lm_invoker": primary, "fallback_lms": fallbacks, "_invoker": primary}
        assert a.fallback_lms is fallbacks  # held, not copied
        assert a._invoker is a.lm_invoker

    @pytest.mark.parametrize("given", [None, []])
    def test_absent_or_empty_fallbacks_get_a_list_of_the_adapters_own(self, given):
        a = adapter(fallback_lms=given)
        assert a.fallback_lms == [] and a.fallback_lms is not given
        assert adapter().fallback_lms is not a.fallback_lms

    @pytest.mark.parametrize("kwargs", [{}, {"model": None}, {"model": ""}, {"provider": "x"}])
    def test_neither_invoker_nor_model(self, kwargs, caplog):
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(ValueError) as info:
                NeMoLMAdapter(**kwargs)
        assert str(info.value) == "Either 'lm_invoker' or 'model' must be provided to initialize NeMoLMAdapter."
        assert warnings_of(caplog) == []

    def test_model_without_invoker_is_refused_naming_the_model(self):
        with pytest.raises(ValueError) as info:
            NeMoLMAdapter(model="gpt-x", fallback_lms=[ScriptedInvoker()])
        assert str(info.value) == "'lm_invoker' must be provided when using model 'gpt-x' with NeMoLMAdapter."

    def test_ensure_invoker_keeps_a_fixed_invoker(self):
        a = adapter()
        first = a._invoker
        a.lm_invoker = ScriptedInvoker("test/other")
        assert a._ensure_invoker() is None
        assert a._invoker is first


class TestIdentity:
    def test_model_name_prefers_the_invokers_model_id(self):
        assert NeMoLMAdapter(model="other", lm_invoker=ScriptedInvoker("test/primary")).model_name == "test/primary"
        invoker = ScriptedInvoker(ModelId(provider="prov", name="m/1"))
        assert NeMoLMAdapter(lm_invoker=invoker).model_name == "prov/m/1"

    def test_model_name_falls_back_to_model_then_unknown(self):
        a = NeMoLMAdapter(model="named", lm_invoker=ScriptedInvoker())
        a.lm_invoker = None
        assert a.model_name == "named"
        a.model = ""
        assert a.model_name == "unknown"
        a.model = None
        assert a.model_name == "unknown"

    def test_provider(self):
        a = NeMoLMAdapter(lm_invoker=ScriptedInvoker(), provider_name="other", provider_url="http://x")
        assert a.provider_name == "vadrel_invoker"
        assert a.provider_url is None


class TestConvertMessages:
    @pytest.mark.parametrize("text", ["hello", ""])
    def test_text_prompt_is_one_user_message(self, text, caplog):
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert as_pairs(adapter()._convert_messages(text)) == [(MessageRole.USER, [text])]
        assert warnings_of(caplog) == []

    def test_chat_messages_keep_order_and_roles(self, caplog):
        prompt = [ChatMessage.from_system("sys"), ChatMessage.from_user("u1"), ChatMessage.from_assistant("a1"),
                  ChatMessage(role="ai", content="a2"), ChatMessage(role="human", content="u2")]
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            pairs = as_pairs(adapter()._convert_messages(prompt))
        assert pairs == [(MessageRole.SYSTEM, ["sys"]), (MessageRole.USER, ["u1"]), (MessageRole.ASSISTANT, ["a1"]),
                         (MessageRole.ASSISTANT, ["a2"]), (MessageRole.USER, ["u2"])]
        assert warnings_of(caplog) == []

    def test_tool_messages_are_dropped_with_one_warning_each(self, caplog):
        prompt = [ChatMessage.from_tool("t1", tool_call_id="1"), ChatMessage(role="tool", content="t2"),
                  ChatMessage.from_user("u")]
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            pairs = as_pairs(adapter()._convert_messages(prompt))
        assert pairs == [(MessageRole.USER, ["u"])]
        assert warnings_of(caplog) == ["Tool-role messages are not supported; skipping."] * 2

    @pytest.mark.parametrize("prompt", [[], [ChatMessage(role=Role.TOOL, content="t")]])
    def test_empty_results(self, prompt):
        assert adapter()._convert_messages(prompt) == []

    def test_unsupported_roles_become_user_messages(self, caplog):
        prompt = [ChatMessage(role="User", content="a"), ChatMessage(role="Tool", content="b"),
                  ChatMessage(role="bot", content="c"), ChatMessage(role=["odd"], content="d")]
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            pairs = as_pairs(adapter()._convert_messages(prompt))
        assert pairs == [(MessageRole.USER, ["a"]), (MessageRole.USER, ["b"]), (MessageRole.USER, ["c"]),
                         (MessageRole.USER, ["d"])]
        assert warnings_of(caplog) == [
            "Unsupported role 'User'; mapping to MessageRole.USER.",
            "Unsupported role 'Tool'; mapping to MessageRole.USER.",
            "Unsupported role 'bot'; mapping to MessageRole.USER.",
            "Unsupported role ['odd']; mapping to MessageRole.USER.",
        ]

    def test_content_rendering(self):
        parts = [{"type": "text", "text": "look"}, {"type": "image_url", "image_url": {"url": "u"}}]
        prompt = [ChatMessage.from_user(""), ChatMessage(role="user", content=parts),
                  ChatMessage(role="assistant", content=None)]
        pairs = as_pairs(adapter()._convert_messages(prompt))
        assert pairs[0] == (MessageRole.USER, [""])
        assert pairs[1] == (MessageRole.USER, [str(parts)])
        # A message without content has no text: not the word "None".
        assert pairs[2] == (MessageRole.ASSISTANT, [""])

    def test_items_without_role_or_content_fail(self):
        with pytest.raises(AttributeError):
            adapter()._convert_messages([{"role": "user", "content": "x"}])
        with pytest.raises(TypeError):
            adapter()._convert_messages(42)


class TestBuildHyperparameters:
    build = staticmethod(NeMoLMAdapter._build_hyperparameters)

    @pytest.mark.parametrize("kwargs", [{}, {"hyperparameters": {}}, {"hyperparameters": None},
                                        {"hyperparameters": [("a", 1)]}, {"hyperparameters": "text"}])
    def test_nothing_gives_none(self, kwargs):
        assert self.build(None, kwargs) is None
        assert self.build([], kwargs) is None

    def test_precedence(self):
        kwargs = {"temperature": 0.1, "max_tokens": 5, "hyperparameters": {"temperature": 0.9, "stop": ["n"]}}
        assert self.build(None, kwargs) == {"temperature": 0.9, "max_tokens": 5, "stop": ["n"]}
        assert self.build([], kwargs)["stop"] == ["n"]  # an empty stop keeps the nested one
        stop = ["s"]
        built = self.build(stop, kwargs)
        assert built == {"temperature": 0.9, "max_tokens": 5, "stop": ["s"]} and built["stop"] is stop
        assert "hyperparameters" in kwargs and kwargs["temperature"] == 0.1  # the caller's mapping is untouched

    def test_stop_alone_and_nested_mappings_of_any_kind(self):
        import types

        assert self.build(["x"], {}) == {"stop": ["x"]}
        assert self.build(None, {"hyperparameters": types.MappingProxyType({"top_p": 1})}) == {"top_p": 1}

    def test_the_built_mapping_is_new(self):
        kwargs = {"a": 1}
        built = self.build(None, kwargs)
        assert built == kwargs and built is not kwargs
