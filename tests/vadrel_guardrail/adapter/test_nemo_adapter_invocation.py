"""The adapter's model call: ordered fall-back, result resolution, structured output and response building."""

import asyncio
import logging

import pydantic
import pytest
from nemoguardrails import ChatMessage, LLMResponse, UsageInfo

from vadrel_guardrail.adapter.nemo_adapter import NeMoLMAdapter
from vadrel_inference.exceptions import BaseInvokerError, InvokerRuntimeError
from vadrel_inference.schema import LMOutput, MessageRole, TokenUsage

from nemo_adapter_doubles import ScriptedInvoker, run

LOGGER = "vadrel_guardrail.adapter.nemo_adapter"


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]


def fallback_warning(model_id, error_type):
    return f"Invoker {model_id!r} failed with {error_type}. Falling back to next invoker."


class Verdict(pydantic.BaseModel):
    is_safe: bool = pydantic.Field(alias="isSafe")
    note: str = "é"


class TestGenerate:
    def test_passes_messages_hyperparameters_and_no_emitter(self):
        invoker = ScriptedInvoker(answer=LMOutput(text="fine", token_usage=TokenUsage(input_tokens=12, output_tokens=3)))
        adapter = NeMoLMAdapter(lm_invoker=invoker)
        response = run(adapter.generate_async([ChatMessage.from_system("s"), ChatMessage.from_user("u")],
                                              stop=["END"], temperature=0.2, hyperparameters={"top_p": 0.5}))
        assert isinstance(response, LLMResponse)
        assert response.content == "fine"
        assert response.usage == UsageInfo(input_tokens=12, output_tokens=3, total_tokens=15)
        [call] = invoker.calls
        assert [(m.role, m.contents) for m in call["messages"]] == [(MessageRole.SYSTEM, ["s"]),
                                                                    (MessageRole.USER, ["u"])]
        assert call["hyperparameters"] == {"temperature": 0.2, "top_p": 0.5, "stop": ["END"]}
        assert call["event_emitter"] is None

    def test_no_parameters_gives_none(self):
        invoker = ScriptedInvoker()
        run(NeMoLMAdapter(lm_invoker=invoker).generate_async("hi"))
        assert invoker.calls[0]["hyperparameters"] is None

    def test_conversion_errors_surface_when_awaited(self):
        coroutine = NeMoLMAdapter(lm_invoker=ScriptedInvoker()).generate_async(42)
        with pytest.raises(TypeError):
            run(coroutine)


class TestFallback:
    def test_timeout_without_fallbacks_reaches_the_caller_as_the_same_object(self, caplog):
        error = TimeoutError("slow")
        adapter = NeMoLMAdapter(lm_invoker=ScriptedInvoker(error=error))
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(TimeoutError) as info:
                run(adapter.generate_async("hi"))
        assert info.value is error
        assert warnings_of(caplog) == [fallback_warning("test/primary", "TimeoutError")]

    def test_first_fallback_answers_after_an_invoker_error(self, caplog):
        primary = ScriptedInvoker(error=InvokerRuntimeError("X", "down"))
        first = ScriptedInvoker("test/first", answer=LMOutput(text="from first"))
        second = ScriptedInvoker("test/second")
        adapter = NeMoLMAdapter(lm_invoker=primary, fallback_lms=[first, second])
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert run(adapter.generate_async("hi")).content == "from first"
        assert warnings_of(caplog) == [fallback_warning("test/primary", "InvokerRuntimeError")]
        assert len(primary.calls) == len(first.calls) == 1 and second.calls == []
        # The very same messages and hyperparameters reach every attempt.
        assert first.calls[0]["messages"] is primary.calls[0]["messages"]
        # The next call starts from the primary again.
        run(adapter.generate_async("again"))
        assert len(primary.calls) == 2

    def test_other_errors_leave_at_once(self, caplog):
        fallback = ScriptedInvoker("test/fallback")
        adapter = NeMoLMAdapter(lm_invoker=ScriptedInvoker(error=ValueError("bad input")), fallback_lms=[fallback])
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(ValueError, match="bad input"):
                run(adapter.generate_async("hi"))
        assert warnings_of(caplog) == [] and fallback.calls == []

    def test_cancellation_is_not_a_fallback(self):
        fallback = ScriptedInvoker("test/fallback")
        adapter = NeMoLMAdapter(lm_invoker=ScriptedInvoker(error=asyncio.CancelledError()), fallback_lms=[fallback])
        with pytest.raises(asyncio.CancelledError):
            run(adapter.generate_async("hi"))
        assert fallback.calls == []

    def test_all_fail_raises_the_last_error_after_a_warning_each(self, caplog):
        last = BaseInvokerError("Y", "last")
        primary = ScriptedInvoker(error=TimeoutError())
        fallback = ScriptedInvoker("test/fallback", error=last)
        adapter = NeMoLMAdapter(lm_invoker=primary, fallback_lms=[primary, fallback])
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(BaseInvokerError) as info:
                run(adapter.generate_async("hi"))
        assert info.value is last
        # The primary listed again among the fall-backs is tried again in its turn.
        assert len(primary.calls) == 2
        assert warnings_of(caplog) == [fallback_warning("test/primary", "TimeoutError"),
                                       fallback_warning("test/primary", "TimeoutError"),
                                       fallback_warning("test/fallback", "BaseInvokerError")]

    def test_missing_primary(self):
        adapter = NeMoLMAdapter(lm_invoker=ScriptedInvoker())
        adapter._invoker = None
        with pytest.raises(InvokerRuntimeError) as info:
            run(adapter._invoke_with_fallback([], None))
        assert info.value.class_name == "NeMoLMAdapter"
        assert info.value.message == "Primary invoker is not initialized."

    def test_chain_is_fixed_when_the_call_starts(self):
        fallback = ScriptedInvoker("test/fallback")

        async def add_late(invoker):
            adapter.fallback_lms.append(fallback)

        primary = ScriptedInvoker(error=InvokerRuntimeError("X", "down"), before_answer=add_late)
        adapter = NeMoLMAdapter(lm_invoker=primary, fallback_lms=[])
        with pytest.raises(InvokerRuntimeError):
            run(adapter.generate_async("hi"))
        assert fallback.calls == []

    def test_outcome_pair(self):
        output = LMOutput(text="t", token_usage=TokenUsage(input_tokens=1, output_tokens=2))
        adapter = NeMoLMAdapter(lm_invoker=ScriptedInvoker(answer=output))
        result, usage = run(adapter._invoke_with_fallback([], None))
        assert result is output and usage is output.token_usage
        adapter = NeMoLMAdapter(lm_invoker=ScriptedInvoker(answer="plain"))
        assert run(adapter._invoke_with_fallback([], None)) == ("plain", None)


class TestResolve:
    resolve = staticmethod(NeMoLMAdapter._resolve_invoke_result)

    def test_without_schema_structured_output_is_ignored(self):
        output = LMOutput(text="raw", structured_output={"a": 1})
        assert self.resolve(ScriptedInvoker(), output) is output

    def test_with_schema_the_structured_output_is_taken(self):
        structured = {"a": 1}
        assert self.resolve(ScriptedInvoker(response_schema=Verdict), LMOutput(structured_output=structured)) is structured

    @pytest.mark.parametrize("result", [LMOutput(text="raw"), "plain"])
    def test_with_schema_but_nothing_structured(self, result, caplog):
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert self.resolve(ScriptedInvoker(response_schema=Verdict), result) is result
        assert warnings_of(caplog) == [
            "Invoker 'test/primary' has response_schema configured but returned no structured_output; "
            "falling back to raw result."]


class TestResponseBuilding:
    def test_structured_mapping_with_usage(self):
        invoker = ScriptedInvoker(response_schema=Verdict, answer=LMOutput(
            text="ignored", structured_output={"safe": True}, token_usage=TokenUsage(input_tokens=12, output_tokens=3)))
        response = run(NeMoLMAdapter(lm_invoker=invoker).generate_async("hi"))
        assert response.content == '{"safe": true}'
        assert (response.usage.input_tokens, response.usage.output_tokens) == (12, 3)

    def test_structured_model_uses_aliases_and_keeps_non_ascii(self):
        invoker = ScriptedInvoker(response_schema=Verdict,
                                  answer=LMOutput(structured_output=Verdict(isSafe=False, note="ça va — 日本")))
        response = run(NeMoLMAdapter(lm_invoker=invoker).generate_async("hi"))
        assert response.content == '{"isSafe": false, "note": "ça va — 日本"}'
        assert response.usage is None

    def test_schema_without_structured_output_answers_with_the_text(self, caplog):
        invoker = ScriptedInvoker(response_schema=Verdict, answer=LMOutput(text="raw text"))
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert run(NeMoLMAdapter(lm_invoker=invoker).generate_async("hi")).content == "raw text"
        assert len(warnings_of(caplog)) == 1

    def test_lm_output_usage_wins_and_absent_usage_is_none(self):
        adapter = NeMoLMAdapter(lm_invoker=ScriptedInvoker())
        given = TokenUsage(input_tokens=9, output_tokens=9)
        response = adapter._build_llm_response(LMOutput(text="t"), given)
        assert response == LLMResponse(content="t", usage=None)
        response = adapter._build_llm_response({"k": "v"}, given)
        assert response.content == '{"k": "v"}' and response.usage == UsageInfo(9, 9, 18)

    def test_plain_text_result_is_the_answer(self):
        # An invoker may answer with text instead of an LMOutput: that text is the content, as it is.
        response = run(NeMoLMAdapter(lm_invoker=ScriptedInvoker(answer="just text")).generate_async("hi"))
        assert response == LLMResponse(content="just text", usage=None)
        schema_invoker = ScriptedInvoker(response_schema=Verdict, answer="text again")
        assert run(NeMoLMAdapter(lm_invoker=schema_invoker).generate_async("hi")).content == "text again"

    def test_unserialisable_structured_output(self, caplog):
        fallback = ScriptedInvoker("test/fallback")
        invoker = ScriptedInvoker(response_schema=Verdict, answer=LMOutput(structured_output={"when": object()}))
        adapter = NeMoLMAdapter(lm_invoker=invoker, fallback_lms=[fallback])
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(TypeError) as info:
                run(adapter.generate_async("hi"))
        assert warnings_of(caplog) == [f"Failed to serialize structured output: {info.value}"]
        assert fallback.calls == []

    def test_serialisation_format(self):
        serialize = NeMoLMAdapter._serialize_structured_output
        assert serialize({"b": [1, 2], "a": {"x": None}}) == '{"b": [1, 2], "a": {"x": null}}'
        assert serialize({"ü": "ü"}) == '{"ü": "ü"}'
        assert serialize(Verdict(isSafe=True)) == '{"isSafe": true, "note": "é"}'
        # Other JSON values are written as they are.
        assert serialize([1, "a"]) == '[1, "a"]'

    def test_value_errors_are_reported_and_raised_again(self, caplog):
        circular = {}
        circular["self"] = circular
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(ValueError) as info:
                NeMoLMAdapter._serialize_structured_output(circular)
        assert warnings_of(caplog) == [f"Failed to serialize structured output: {info.value}"]
