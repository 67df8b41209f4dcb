"""A short tour of vadrel_guardrail that needs no network."""

from vadrel_guardrail import GuardrailInput, GuardrailMode, GuardrailResult
from vadrel_guardrail.schema import GuardrailStreamChunk


def main() -> None:
    print("Modes:", ", ".join(mode.value for mode in GuardrailMode))

    content = GuardrailInput.from_dict({"input": "How do I bake bread?", "output": "Mix flour and water."})
    print("Input record:", content.model_dump())

    verdicts = [
        GuardrailResult.safe(filtered_content="How do I bake bread?", score=0.02),
        GuardrailResult.unsafe("Banned phrase detected", category="violence", policy="violent_wrongdoing", score=0.97),
    ]
    for verdict in verdicts:
        print("Verdict:", verdict.to_dict())

    stream = [GuardrailStreamChunk(chunk="Hello, ", is_safe=True), GuardrailStreamChunk(chunk="", is_safe=False, reason="blocked")]
    for item in stream:
        kind = "terminal marker" if not item.is_safe and item.chunk == "" else "safe item"
        print(f"Stream item ({kind}):", item.model_dump())


if __name__ == "__main__":
    main()
