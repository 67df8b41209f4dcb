"""The decision-model invoker and component: one chat-completions call per decision, one
probability per question read back from a JSON answer."""

import asyncio
import json

import pytest

from vadrel_inference.component import DMComponent
from vadrel_inference.dm_invoker import build_dm_invoker
from vadrel_inference.dm_invoker.dm_invoker import BaseDMInvoker
from vadrel_inference.exceptions import InvokerRuntimeError
from vadrel_inference.schema import DMOutput, DMQuestion, TokenUsage, VeskAnswer

QUESTIONS = {
    "violence": DMQuestion.vesk(instructions="Does the text threaten anyone?", criteria={"true": "threats"}),
    "spam": DMQuestion.vesk(instructions="Is the text spam?"),
}


def dm_invoker_for(server):
    return build_dm_invoker(model_id="local/judge", credentials="dm-key", config={"base_url": server.base_url})


class TestDMInvoker:
    def test_all_questions_in_one_call(self, chat_server):
        chat_server.reply_text('{"violence": 0.9, "spam": 0, "unasked": 1}', usage=(20, 5))
        invoker = dm_invoker_for(chat_server)
        assert isinstance(invoker, BaseDMInvoker) and invoker.model_id == "local/judge"

        output = asyncio.run(invoker.invoke(state={"content": "I will hurt you"}, questions=QUESTIONS,
                                            hyperparameters={"temperature": 0}))
        assert isinstance(output, DMOutput)
        assert output.answers == {"violence": VeskAnswer(vesk=0.9), "spam": VeskAnswer(vesk=0.0)}
        assert output.token_usage == TokenUsage(input_tokens=20, output_tokens=5)

        [request] = chat_server.requests
        assert request.headers["Authorization"] == "Bearer dm-key"
        assert request.body["temperature"] == 0
        system, asked = request.body["messages"]
        assert system["role"] == "system" and "probability" in system["content"]
        document = json.loads(asked["content"])
        assert document["state"] == {"content": "I will hurt you"}
        assert document["questions"] == {
            "violence": {"instructions": "Does the text threaten anyone?", "criteria": {"true": "threats"}},
            "spam": {"instructions": "Is the text spam?"},
        }

    def test_answer_wrapped_in_a_code_fence(self, chat_server):
        chat_server.reply_text('```json\n{"violence": 0.25, "spam": {"probability": 1}}\n```')
        output = asyncio.run(dm_invoker_for(chat_server).invoke(state={"content": "x"}, questions=QUESTIONS))
        assert output.answers["violence"].vesk == 0.25 and output.answers["spam"].vesk == 1.0

    @pytest.mark.parametrize(
        ("answer", "match"),
        [
            ("I cannot answer that", "no JSON object"),
            ('{"violence": 0.5}', "'spam'"),
            ('{"violence": 1.5, "spam": 0}', "'violence'"),
            ('{"violence": "high", "spam": 0}', "'violence'"),
            ('{"violence": true, "spam": 0}', "'violence'"),
            ("{not json}", "malformed"),
        ],
    )
    def test_unusable_answers(self, chat_server, answer, match):
        chat_server.reply_text(answer)
        with pytest.raises(InvokerRuntimeError, match=match):
            asyncio.run(dm_invoker_for(chat_server).invoke(state={"content": "x"}, questions=QUESTIONS))

    def test_text_utf8_cannot_hold(self, chat_server):
        # json.loads makes a lone surrogate of an unpaired escape; such text reaches the model as JSON writes it.
        chat_server.reply_text('{"violence": 0.9, "spam": 0, "note": "\ud800"}')
        output = asyncio.run(dm_invoker_for(chat_server).invoke(state={"content": "bomb \ud800"}, questions=QUESTIONS))
        assert output.answers["violence"].vesk == 0.9
        assert json.loads(chat_server.requests[0].body["messages"][1]["content"])["state"] == {"content": "bomb \ud800"}
        # The answer is quoted up to 200 bytes, never cutting a character in two.
        chat_server.reply_text("x" * 199 + "\u00e9 and more")
        with pytest.raises(InvokerRuntimeError) as info:
            asyncio.run(dm_invoker_for(chat_server).invoke(state={"content": "x"}, questions=QUESTIONS))
        assert str(info.value).endswith("no JSON object in the answer: " + "x" * 199)

    def test_service_errors_pass_as_invoker_errors(self, chat_server):
        chat_server.reply_error(400, "refused")
        with pytest.raises(InvokerRuntimeError, match="400"):
            asyncio.run(dm_invoker_for(chat_server).invoke(state={"content": "x"}, questions=QUESTIONS))


class TestDMComponent:
    def test_from_config_and_decision_through_the_service(self, chat_server):
        class Engine(DMComponent):
            def __init__(self, dm_invoker, engine_config=None):
                super().__init__(dm_invoker=dm_invoker)
                self.config = engine_config

        engine = Engine.from_config(model_id="local/judge", engine_config={"mode": "x"}, credentials="k",
                                    config={"base_url": chat_server.base_url})
        assert engine.config == {"mode": "x"}
        chat_server.reply_text('{"violence": 0.1, "spam": 0.2}')
        output = asyncio.run(engine._invoke_dm(state={"content": "hello"}, questions=QUESTIONS,
                                               hyperparameters=None, trace_attributes={"run": "1"}))
        assert output.answers == {"violence": VeskAnswer(vesk=0.1), "spam": VeskAnswer(vesk=0.2)}
        assert len(chat_server.requests) == 1

    def test_invoke_dm_hands_everything_to_the_kept_invoker(self):
        calls = []

        class StubInvoker(BaseDMInvoker):
            async def invoke(self, state, questions, hyperparameters=None, trace_attributes=None):
                calls.append((state, questions, hyperparameters, trace_attributes))
                return DMOutput(answers={"spam": VeskAnswer(vesk=0.3)})

        component = DMComponent(dm_invoker=StubInvoker(model_id="stub/x"))
        output = asyncio.run(component._invoke_dm(state={"content": "c"}, questions=QUESTIONS,
                                                  hyperparameters={"t": 1}, trace_attributes={"a": "b"}))
        assert output.answers["spam"].vesk == 0.3
        assert calls == [({"content": "c"}, QUESTIONS, {"t": 1}, {"a": "b"})]

    def test_invoker_errors_pass_unchanged(self):
        error = InvokerRuntimeError("StubInvoker", "no")

        class FailingInvoker(BaseDMInvoker):
            async def invoke(self, state, questions, hyperparameters=None, trace_attributes=None):
                raise error

        component = DMComponent(dm_invoker=FailingInvoker(model_id="stub/x"))
        with pytest.raises(InvokerRuntimeError) as info:
            asyncio.run(component._invoke_dm(state={}, questions={}))
        assert info.value is error
