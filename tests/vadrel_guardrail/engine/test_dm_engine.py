"""Decision-model engine: construction, the decision call and scoring, against a scripted invoker."""

import asyncio
import collections.abc
import inspect
import logging
import math

import pytest

from vadrel_guardrail import GuardrailResult
from vadrel_guardrail.constants import GuardrailMode
from vadrel_guardrail.engine import dm_engine
from vadrel_guardrail.engine.base_engine import GuardrailEngine, StreamingGuardrailEngine
from vadrel_guardrail.engine.dm_engine import DMGuardrailEngine, DMGuardrailEngineConfig, DMPolicyConfig
from vadrel_inference.component import DMComponent
from vadrel_inference.dm_invoker.dm_invoker import BaseDMInvoker
from vadrel_inference.schema import DMOutput, DMQuestion, VeskAnswer


class ScriptedInvoker(BaseDMInvoker):
    """Stands in for the decision model: records each call and answers with the next scripted scores."""

    def __init__(self, *answers):
        super().__init__(model_id="test/scripted")
        self.calls = []
        self.answers = list(answers)

    async def invoke(self, state, questions, hyperparameters=None, trace_attributes=None):
        self.calls.append({"state": state, "questions": questions, "hyperparameters": hyperparameters,
                           "trace_attributes": trace_attributes})
        answers = self.answers.pop(0)
        if isinstance(answers, BaseException):
            raise answers
        if isinstance(answers, DMOutput):
            return answers
        return DMOutput(answers={name: value if isinstance(value, VeskAnswer) or value is None else VeskAnswer(vesk=value)
                                 for name, value in answers.items()})


def policy(reason="r", category="c", threshold=None, instructions="q?", criteria=None):
    return {"category": category, "reason": reason, "threshold": threshold,
            "question": {"instructions": instructions, "criteria": criteria}}


def engine_for(policies, *answers, **config):
    invoker = ScriptedInvoker(*answers)
    engine = DMGuardrailEngine(invoker, DMGuardrailEngineConfig(policies=policies, **config))
    return engine, invoker


def run(awaitable):
    return asyncio.run(awaitable)


TWO = {"a": policy("reason a", "cat a"), "b": policy("reason b", "cat b")}


class TestClass:
    def test_bases_and_interfaces(self):
        assert DMGuardrailEngine.__bases__ == (DMComponent, GuardrailEngine)
        engine, _ = engine_for(TWO)
        assert isinstance(engine, GuardrailEngine)
        assert not isinstance(engine, StreamingGuardrailEngine)
        assert not hasattr(DMGuardrailEngine, "requires_full_stream")

    def test_operations_in_order(self):
        own = [n for n in vars(DMGuardrailEngine) if not n.startswith("__") or n == "__init__"]
        assert own[:9] == ["__init__", "_load_policies", "_build_questions", "_resolve_state", "check_input",
                           "check_output", "_check_content", "_extract_score", "_evaluate_output"]
        assert isinstance(vars(DMGuardrailEngine)["_load_policies"], staticmethod)
        assert isinstance(vars(DMGuardrailEngine)["_build_questions"], staticmethod)

    def test_checks_are_coroutines(self):
        engine, _ = engine_for(TWO, {"a": 0.1, "b": 0.2})
        coroutine = engine.check_input("text")
        assert isinstance(coroutine, collections.abc.Coroutine) and inspect.isawaitable(coroutine)
        assert coroutine.__name__ == "check_input"
        assert coroutine.__qualname__ == "DMGuardrailEngine.check_input"
        assert run(coroutine).is_safe


class TestConstruction:
    def test_defaults_load_the_packaged_policies(self, caplog):
        invoker = ScriptedInvoker()
        with caplog.at_level(logging.INFO, logger="vadrel_guardrail.engine.dm_engine"):
            engine = DMGuardrailEngine(invoker)
        assert engine.dm_invoker is invoker
        assert engine.config == DMGuardrailEngineConfig()
        assert engine.config.guardrail_mode == GuardrailMode.INPUT_ONLY
        assert list(engine.policies) == list(DMGuardrailEngine._load_policies(DMGuardrailEngineConfig()))
        assert list(engine.questions) == list(engine.policies)
        records = [r for r in caplog.records if r.name == "vadrel_guardrail.engine.dm_engine"]
        assert [(r.levelno, r.getMessage()) for r in records] == [
            (logging.INFO, f"DM guardrail engine initialized with {len(engine.policies)} policies")]

    def test_keywords_and_given_config(self, caplog):
        config = DMGuardrailEngineConfig(policies={"only": policy()})
        invoker = ScriptedInvoker()
        with caplog.at_level(logging.INFO, logger="vadrel_guardrail.engine.dm_engine"):
            engine = DMGuardrailEngine(dm_invoker=invoker, engine_config=config)
        assert engine.config is config and engine.policies is config.policies
        assert caplog.messages == ["DM guardrail engine initialized with 1 policies"]

    def test_questions_are_built_once_per_policy(self):
        policies = {
            "x": policy(instructions="Is it x?", criteria={"true": "yes x", "false": "no x"}),
            "y": policy(instructions="Is it y?"),
            "z": policy(instructions="Is it z?", criteria={"false": "no z"}),
        }
        engine, _ = engine_for(policies)
        assert list(engine.questions) == ["x", "y", "z"]
        for name, question in engine.questions.items():
            assert isinstance(question, DMQuestion)
            expected = DMQuestion.vesk(instructions=policies[name]["question"]["instructions"],
                                       criteria=policies[name]["question"]["criteria"])
            assert question == expected
        assert engine.questions["y"].criteria is None

    def test_build_questions_calls_the_factory_with_exactly_two_keywords(self, monkeypatch):
        seen = []

        def vesk(**kwargs):
            seen.append(kwargs)
            return ("question", kwargs["instructions"])

        monkeypatch.setattr(DMQuestion, "vesk", vesk)
        policies = {"p": DMPolicyConfig.model_validate(policy(instructions="I?", criteria={"true": "t"}))}
        assert DMGuardrailEngine._build_questions(policies) == {"p": ("question", "I?")}
        assert seen == [{"instructions": "I?", "criteria": {"true": "t"}}]

    def test_no_policies_is_refused_without_logging(self, caplog, tmp_path):
        empty_file = tmp_path / "empty.yaml"
        empty_file.write_text("policies: {}\n", encoding="utf-8")
        configs = [
            DMGuardrailEngineConfig(policies={}),
            DMGuardrailEngineConfig(policies={}, policy_config_path=str(tmp_path / "missing.yaml")),
            DMGuardrailEngineConfig(policy_config_path=str(empty_file)),
        ]
        with caplog.at_level(logging.DEBUG, logger="vadrel_guardrail.engine.dm_engine"):
            for config in configs:
                with pytest.raises(ValueError) as info:
                    DMGuardrailEngine(ScriptedInvoker(), config)
                assert str(info.value) == "At least one policy must be configured."
        assert caplog.records == []

    def test_loading_errors_leave_no_engine(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            DMGuardrailEngine(ScriptedInvoker(), DMGuardrailEngineConfig(policy_config_path=str(tmp_path / "no.yaml")))
        bad = tmp_path / "bad.yaml"
        bad.write_text("policies: [a]\n", encoding="utf-8")
        with pytest.raises(ValueError, match="must contain a 'policies' mapping, got list"):
            DMGuardrailEngine(ScriptedInvoker(), DMGuardrailEngineConfig(policy_config_path=str(bad)))


class TestDecisionCall:
    def test_default_check_sends_the_text_as_state(self):
        engine, invoker = engine_for(TWO, {"a": 0.1, "b": 0.2})
        result = run(engine.check_input("hello there"))
        assert invoker.calls == [{"state": {"content": "hello there"}, "questions": engine.questions,
                                  "hyperparameters": None, "trace_attributes": None}]
        assert invoker.calls[0]["questions"] is engine.questions
        assert result == GuardrailResult.safe(score=0.2)

    def test_only_hyperparameters_and_trace_attributes_reach_the_model(self):
        engine, invoker = engine_for(TWO, {"a": 0.1, "b": 0.2}, {"a": 0.1, "b": 0.2})
        hyper = {"temperature": 0.0}
        trace = {"request": "r-1"}
        run(engine.check_input(content="x", hyperparameters=hyper, trace_attributes=trace, temperature=0.7,
                               other="dropped"))
        assert invoker.calls[0]["hyperparameters"] is hyper
        assert invoker.calls[0]["trace_attributes"] is trace
        run(engine.check_output("x", temperature=0.7))
        assert invoker.calls[1]["hyperparameters"] is None and invoker.calls[1]["trace_attributes"] is None

    def test_invoke_dm_gets_exactly_four_keywords_in_order(self):
        calls = []

        class Spy(DMGuardrailEngine):
            async def _invoke_dm(self, *args, **kwargs):
                calls.append((args, list(kwargs.items())))
                return DMOutput(answers={"a": VeskAnswer(vesk=0.0), "b": VeskAnswer(vesk=0.0)})

        engine = Spy(ScriptedInvoker(), DMGuardrailEngineConfig(policies=TWO))
        run(engine.check_output("t", hyperparameters=1, stray=2))
        assert calls == [((), [("state", {"content": "t"}), ("questions", engine.questions),
                               ("hyperparameters", 1), ("trace_attributes", None)])]

    def test_trace_attributes_is_keyword_only(self):
        engine, _ = engine_for(TWO)
        with pytest.raises(TypeError):
            engine.check_input("x", {"trace": 1})

    def test_both_directions_decide_alike(self):
        answers = {"a": 0.7, "b": 0.2}
        engine, invoker = engine_for(TWO, answers, answers)
        first = run(engine.check_input("same"))
        second = run(engine.check_output("same"))
        assert first == second and not first.is_safe
        assert invoker.calls[0] == invoker.calls[1]

    def test_checks_go_through_check_content(self):
        seen = []

        class Recording(DMGuardrailEngine):
            async def _check_content(self, content, *, trace_attributes=None, **kwargs):
                seen.append((content, trace_attributes, kwargs))
                return GuardrailResult.safe()

        engine = Recording(ScriptedInvoker(), DMGuardrailEngineConfig(policies=TWO))
        run(engine.check_input(content="in", trace_attributes={"t": 1}, hyperparameters=2))
        run(engine.check_output("out", extra=3))
        assert seen == [("in", {"t": 1}, {"hyperparameters": 2}), ("out", None, {"extra": 3})]

    def test_state_template_is_read_at_each_check(self, monkeypatch):
        template = {"messages": [{"role": "user", "text": "{content}"}], "meta": ("{content}",), "n": 1}
        engine, invoker = engine_for(TWO, {"a": 0, "b": 0}, {"a": 0, "b": 0}, {"a": 0, "b": 0},
                                     state_template=template)
        run(engine.check_input("hi"))
        assert invoker.calls[0]["state"] == {"messages": [{"role": "user", "text": "hi"}], "meta": ("{content}",),
                                             "n": 1}
        assert engine.config.state_template == template
        engine.config.state_template = {}
        run(engine.check_input("hi"))
        assert invoker.calls[1]["state"] == {}
        engine.config.state_template = None
        monkeypatch.setitem(dm_engine.DEFAULT_STATE_TEMPLATE, "extra", "[{content}]")
        run(engine.check_input("hi"))
        assert invoker.calls[2]["state"] == {"content": "hi", "extra": "[hi]"}

    def test_decision_errors_pass_unchanged(self):
        from vadrel_inference.exceptions import BaseInvokerError

        error = BaseInvokerError("model down")
        engine, _ = engine_for(TWO, error)
        with pytest.raises(BaseInvokerError) as info:
            run(engine.check_input("x"))
        assert info.value is error

    def test_concurrent_checks_on_one_engine(self):
        class Slow(ScriptedInvoker):
            async def invoke(self, state, questions, hyperparameters=None, trace_attributes=None):
                await asyncio.sleep(0)
                score = 0.9 if "bad" in state["content"] else 0.1
                return DMOutput(answers={name: VeskAnswer(vesk=score) for name in questions})

        engine = DMGuardrailEngine(Slow(), DMGuardrailEngineConfig(policies=TWO))

        async def both():
            return await asyncio.gather(engine.check_input("bad one"), engine.check_input("fine one"))

        bad, fine = run(both())
        assert not bad.is_safe and bad.policy == "a" and fine.is_safe and fine.score == 0.1


class TestScoring:
    def evaluate(self, policies, answers, **config):
        engine, _ = engine_for(policies, answers, **config)
        return run(engine.check_input("text"))

    def test_worst_violation_is_reported(self):
        policies = {"a": policy("ra", "ca", threshold=0.9), "b": policy("rb", "cb", threshold=0.5)}
        result = self.evaluate(policies, {"a": 0.8, "b": 0.6})
        assert result == GuardrailResult.unsafe(reason="rb", category="cb", policy="b", score=0.6)
        assert result.filtered_content is None

    def test_highest_violated_score_wins(self):
        policies = {"a": policy("ra"), "b": policy("rb"), "c": policy("rc")}
        assert self.evaluate(policies, {"a": 0.6, "b": 0.95, "c": 0.7}).policy == "b"

    def test_tie_goes_to_the_first_in_policy_order(self):
        policies = {"z": policy("rz"), "a": policy("ra"), "m": policy("rm")}
        result = self.evaluate(policies, {"m": 0.8, "a": 0.8, "z": 0.3})
        assert (result.policy, result.reason, result.score) == ("a", "ra", 0.8)

    def test_equal_to_the_threshold_is_violated(self):
        assert not self.evaluate({"p": policy(threshold=0.7)}, {"p": 0.7}).is_safe
        assert self.evaluate({"p": policy(threshold=0.7)}, {"p": 0.6999}).is_safe
        assert not self.evaluate({"p": policy()}, {"p": 0.5}).is_safe
        assert not self.evaluate({"p": policy()}, {"p": 0.3}, default_threshold=0.3).is_safe

    def test_zero_and_one_thresholds(self):
        result = self.evaluate({"p": policy(threshold=0.0)}, {"p": 0.0})
        assert not result.is_safe and result.score == 0.0
        assert self.evaluate({"p": policy(threshold=1.0)}, {"p": 0.999}).is_safe
        assert not self.evaluate({"p": policy(threshold=1.0)}, {"p": 1.0}).is_safe
        assert not self.evaluate({"p": policy(threshold=1.0)}, {"p": True}).is_safe

    def test_default_threshold_is_read_at_each_evaluation(self):
        engine, _ = engine_for({"p": policy()}, {"p": 0.4}, {"p": 0.4})
        assert run(engine.check_input("x")).is_safe
        engine.config.default_threshold = 0.4
        assert not run(engine.check_input("x")).is_safe

    def test_safe_reports_the_highest_score_only(self):
        result = self.evaluate({"a": policy(), "b": policy()}, {"a": 0.2, "b": 0.4})
        assert result == GuardrailResult.safe(score=0.4)
        assert (result.reason, result.category, result.policy, result.filtered_content) == (None,) * 4

    def test_a_higher_unviolated_score_does_not_decide(self):
        policies = {"high": policy("rh", threshold=0.99), "low": policy("rl", threshold=0.1)}
        result = self.evaluate(policies, {"high": 0.9, "low": 0.2})
        assert (result.policy, result.score) == ("low", 0.2)

    def test_answers_for_unknown_names_are_ignored(self):
        result = self.evaluate({"a": policy()}, {"a": 0.1, "ghost": 0.99})
        assert result == GuardrailResult.safe(score=0.1)

    @pytest.mark.parametrize("score", [0, 1, True, False, 0.25])
    def test_integer_and_boolean_scores_are_returned_unchanged(self, score):
        engine, _ = engine_for({"p": policy()})
        output = DMOutput(answers={"p": VeskAnswer(vesk=score)})
        extracted = engine._extract_score(output, "p")
        assert extracted is score

    @pytest.mark.parametrize("score, text", [
        (1.5, "1.5"), (-0.1, "-0.1"), (math.nan, "nan"), (math.inf, "inf"), ("0.7", "0.7"), (None, "None"),
        ([0.5], "[0.5]"), (2, "2"), (10**400, None),
    ])
    def test_invalid_scores(self, score, text):
        engine, _ = engine_for({"my policy": policy()})
        output = DMOutput(answers={"my policy": VeskAnswer(vesk=score)})
        with pytest.raises(ValueError) as info:
            engine._extract_score(output, "my policy")
        assert str(info.value) == f"Invalid score for 'my policy': {text if text is not None else score}"

    def test_missing_and_malformed_answers(self):
        engine, _ = engine_for({"p": policy()})
        for answers in ({}, {"p": None}):
            with pytest.raises(ValueError) as info:
                engine._extract_score(DMOutput(answers=answers), "p")
            assert str(info.value) == "DM response is missing answer for 'p'"
        for answer in (0.7, {"vesk": 0.7}, "yes"):
            with pytest.raises(ValueError) as info:
                engine._extract_score(DMOutput(answers={"p": answer}), "p")
            assert str(info.value) == "Invalid answer type for 'p': expected VeskAnswer"

    def test_answer_subclasses_pass(self):
        class Sub(VeskAnswer):
            pass

        engine, _ = engine_for({"p": policy()})
        assert engine._extract_score(DMOutput(answers={"p": Sub(vesk=0.3)}), "p") == 0.3

    def test_every_answer_is_checked_before_deciding(self):
        policies = {"first": policy("rf"), "second": policy("rs"), "third": policy("rt")}
        engine, _ = engine_for(policies, {"first": 0.99, "third": 0.1})
        with pytest.raises(ValueError) as info:
            run(engine.check_input("x"))
        assert str(info.value) == "DM response is missing answer for 'second'"
        engine, _ = engine_for(policies, {"first": 0.99, "second": 7, "third": "bad"})
        with pytest.raises(ValueError, match=r"^Invalid score for 'second': 7$"):
            run(engine.check_input("x"))

    def test_output_without_answers(self):
        engine, _ = engine_for({"p": policy()})

        class NoAnswers:
            pass

        with pytest.raises(AttributeError):
            engine._evaluate_output(NoAnswers())

    def test_evaluate_uses_extract_score_through_the_instance(self):
        class Fixed(DMGuardrailEngine):
            def _extract_score(self, output, policy_name):
                return {"a": 0.3, "b": 0.9}[policy_name]

        engine = Fixed(ScriptedInvoker(), DMGuardrailEngineConfig(policies=TWO))
        assert engine._evaluate_output(DMOutput(answers={})).policy == "b"
