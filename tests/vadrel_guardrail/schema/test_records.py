import pydantic
import pytest

from vadrel_guardrail.schema import GuardrailInput, GuardrailResult, GuardrailStreamChunk


def test_records_are_pydantic_models_with_documented_fields():
    for cls in (GuardrailInput, GuardrailResult, GuardrailStreamChunk):
        assert issubclass(cls, pydantic.BaseModel)
        assert cls.__module__.startswith("vadrel_guardrail.schema.")
    assert list(GuardrailResult.model_fields) == ["is_safe", "reason", "filtered_content", "category", "policy", "score"]
    assert list(GuardrailStreamChunk.model_fields) == ["chunk", "is_safe", "reason"]
    assert GuardrailInput.model_fields["input"].description == "Input content to check (user queries, prompts, context)"
    assert GuardrailResult.__doc__ == "Result of a guardrail content safety check."


class TestGuardrailInput:
    def test_defaults_and_from_dict(self):
        empty = GuardrailInput()
        assert empty.input is None and empty.output is None
        assert GuardrailInput.from_dict({}) == empty
        record = GuardrailInput.from_dict({"input": "hi", "extra": 1})
        assert record.input == "hi" and record.output is None
        assert "extra" not in record.model_dump()

    def test_validation(self):
        with pytest.raises(pydantic.ValidationError, match="input"):
            GuardrailInput(input=["not", "text"])
        with pytest.raises(AttributeError):
            GuardrailInput.from_dict(["input"])

    def test_unknown_keywords_are_ignored(self):
        assert GuardrailInput(input="a", bogus=1).model_dump() == {"input": "a", "output": None}


class TestGuardrailResult:
    def test_safe_factory(self):
        result = GuardrailResult.safe()
        assert result.is_safe is True
        assert result.to_dict() == {"is_safe": True, "reason": None, "filtered_content": None}
        assert list(result.to_dict()) == ["is_safe", "reason", "filtered_content"]
        scored = GuardrailResult.safe("clean", 0.25)
        assert (scored.filtered_content, scored.score, scored.reason) == ("clean", 0.25, None)

    def test_unsafe_factory(self):
        result = GuardrailResult.unsafe("bad")
        assert (result.is_safe, result.reason) == (False, "bad")
        assert result.category is result.policy is result.filtered_content is result.score is None
        full = GuardrailResult.unsafe("r", "f", "c", "p", 0.9)
        assert (full.filtered_content, full.category, full.policy, full.score) == ("f", "c", "p", 0.9)
        assert GuardrailResult.unsafe(None).reason is None
        with pytest.raises(TypeError):
            GuardrailResult.unsafe()

    def test_to_dict_omits_only_none_optionals(self):
        result = GuardrailResult.unsafe("r", category="", score=0.0)
        assert list(result.to_dict().items()) == [
            ("is_safe", False), ("reason", "r"), ("filtered_content", None), ("category", ""), ("score", 0.0)
        ]
        d = result.to_dict()
        d["reason"] = "changed"
        assert result.reason == "r"

    def test_from_dict(self):
        assert GuardrailResult.from_dict({}) == GuardrailResult.safe()
        unsafe = GuardrailResult.from_dict({"is_safe": False})
        assert unsafe.is_safe is False and unsafe.reason is None
        with pytest.raises(pydantic.ValidationError):
            GuardrailResult.from_dict({"is_safe": None})
        full = GuardrailResult.unsafe("r", "f", "c", "p", 0.5)
        assert GuardrailResult.from_dict(full.to_dict()) == full

    def test_validation(self):
        with pytest.raises(pydantic.ValidationError, match="is_safe"):
            GuardrailResult()
        with pytest.raises(pydantic.ValidationError, match="score"):
            GuardrailResult(is_safe=True, score="high")
        assert GuardrailResult(is_safe=True, score=7.5).score == 7.5
        assert GuardrailResult(is_safe=False, score=-1).score == -1
        assert "unknown" not in GuardrailResult(is_safe=True, unknown=1).model_dump()

    def test_factories_build_the_class_they_are_called_on(self):
        class Custom(GuardrailResult):
            extra: int = 3

        for made in (Custom.safe(), Custom.unsafe("x"), Custom.from_dict({})):
            assert type(made) is Custom and made.extra == 3
        assert Custom.safe() != GuardrailResult.safe()  # equality needs the same class

    def test_mutable_without_revalidation(self):
        result = GuardrailResult.safe()
        result.score = "not a number"
        assert result.score == "not a number"


class TestGuardrailStreamChunk:
    def test_kinds(self):
        marker = GuardrailStreamChunk(chunk="", is_safe=False, reason="blocked")
        assert marker.reason == "blocked"
        assert GuardrailStreamChunk(chunk="", is_safe=True).reason is None

    def test_required_fields(self):
        with pytest.raises(pydantic.ValidationError, match="chunk"):
            GuardrailStreamChunk(is_safe=True)
        with pytest.raises(pydantic.ValidationError, match="is_safe"):
            GuardrailStreamChunk(chunk="a")

    def test_round_trip(self):
        item = GuardrailStreamChunk(chunk="x", is_safe=True)
        assert GuardrailStreamChunk.model_validate(item.model_dump()) == item
