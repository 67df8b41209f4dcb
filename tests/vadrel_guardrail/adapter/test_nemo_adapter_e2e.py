"""The adapter end to end: the chat-completions invoker against the local test server, driven by
NeMo Guardrails' own model-call entry point and provider registry."""

import logging

import pytest
from nemoguardrails import ChatMessage, LLMResponseChunk, UsageInfo
from nemoguardrails.context import llm_call_info_var
from nemoguardrails.exceptions import LLMCallException
from nemoguardrails.llm.call import llm_call
from nemoguardrails.llm.frameworks.default import DefaultFramework
from nemoguardrails.streaming import StreamingHandler

from vadrel_guardrail.adapter import NeMoLMAdapter
from vadrel_inference.lm_invoker import build_lm_invoker

from nemo_adapter_doubles import collect, run


def invoker_for(server, model_id="local/tiny-model"):
    return build_lm_invoker(model_id=model_id, credentials="secret", config={"base_url": server.base_url})


class TestAgainstTheLocalServer:
    def test_generate(self, chat_server):
        chat_server.reply_text("Sure.", usage=(12, 3))
        adapter = NeMoLMAdapter(model="local/tiny-model", lm_invoker=invoker_for(chat_server))
        prompt = [ChatMessage.from_system("Be brief."), ChatMessage.from_user("Hello")]
        response = run(adapter.generate_async(prompt, stop=["\n"], temperature=0.0))
        assert response.content == "Sure."
        assert response.usage == UsageInfo(input_tokens=12, output_tokens=3, total_tokens=15)
        body = chat_server.requests[0].body
        assert body["messages"] == [{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Hello"}]
        assert body["stop"] == ["\n"] and body["temperature"] == 0.0
        assert not body.get("stream")

    def test_stream(self, chat_server):
        chat_server.reply_stream(["Hel", "lo", "!"], usage=(4, 3))
        adapter = NeMoLMAdapter(lm_invoker=invoker_for(chat_server))
        chunks = run(collect(adapter.stream_async("Hi")))
        assert [c.delta_content for c in chunks] == ["Hel", "lo", "!", None]
        assert chunks[-1] == LLMResponseChunk(finish_reason="stop", usage=UsageInfo(4, 3, 7))
        assert chat_server.requests[-1].body["stream"] is True

    def test_falls_back_to_a_second_service_after_an_http_error(self, chat_server, caplog):
        chat_server.reply_error(400)
        chat_server.reply_text("from the fall-back")
        primary = invoker_for(chat_server, "local/primary")
        fallback = invoker_for(chat_server, "local/fallback")
        adapter = NeMoLMAdapter(lm_invoker=primary, fallback_lms=[fallback])
        with caplog.at_level(logging.WARNING, logger="vadrel_guardrail.adapter.nemo_adapter"):
            assert run(adapter.generate_async("Hi")).content == "from the fall-back"
        assert [r.body["model"] for r in chat_server.requests] == ["primary", "fallback"]
        assert caplog.messages == [
            f"Invoker {primary.model_id!r} failed with InvokerRuntimeError. Falling back to next invoker."]



class TestThroughNeMoGuardrails:
    def test_llm_call_records_the_token_statistics(self, chat_server):
        chat_server.reply_text("yes", usage=(20, 1))
        adapter = NeMoLMAdapter(lm_invoker=invoker_for(chat_server))

        async def call():
            response = await llm_call(adapter, [{"role": "user", "content": "Is this safe?"}], stop=["\n"])
            return response, llm_call_info_var.get()

        response, info = run(call())
        assert response.content == "yes"
        assert (info.prompt_tokens, info.completion_tokens, info.total_tokens) == (20, 1, 21)
        assert (info.llm_model_name, info.llm_provider_name) == ("local/tiny-model", "vadrel_invoker")

    def test_llm_call_streams_through_a_handler(self, chat_server):
        chat_server.reply_stream(["a", "b", "c"], usage=(2, 3))
        adapter = NeMoLMAdapter(lm_invoker=invoker_for(chat_server))

        async def call():
            handler = StreamingHandler()
            return await llm_call(adapter, "Say abc", streaming_handler=handler)

        response = run(call())
        assert response.content == "abc"
        assert response.usage == UsageInfo(2, 3, 5)

    def test_llm_call_wraps_a_failure_of_every_invoker(self, chat_server):
        chat_server.reply_error(400)
        adapter = NeMoLMAdapter(lm_invoker=invoker_for(chat_server))
        with pytest.raises(LLMCallException) as info:
            run(llm_call(adapter, "Hi"))
        assert "provider=vadrel_invoker" in str(info.value)

    def test_registered_provider(self, chat_server):
        framework = DefaultFramework()
        framework.register_provider("vadrel_invoker", NeMoLMAdapter)
        # Built by the rails library from a model name alone, the adapter refuses, naming the model.
        with pytest.raises(ValueError, match="'lm_invoker' must be provided when using model 'gpt-x'"):
            framework.create_model("gpt-x", "vadrel_invoker", {"temperature": 0.1})
        invoker = invoker_for(chat_server)
        model = framework.create_model("gpt-x", "vadrel_invoker", {"lm_invoker": invoker, "mode": "chat"})
        assert isinstance(model, NeMoLMAdapter)
        assert model.lm_invoker is invoker and model.model == "gpt-x" and model.model_name == "local/tiny-model"
