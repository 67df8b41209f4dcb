from vadrel_guardrail.schema import guardrail_input as guardrail_input
from vadrel_guardrail.schema import guardrail_result as guardrail_result
from vadrel_guardrail.schema import guardrail_stream_chunk as guardrail_stream_chunk
from vadrel_guardrail.schema.guardrail_input import GuardrailInput as GuardrailInput
from vadrel_guardrail.schema.guardrail_result import GuardrailResult as GuardrailResult
from vadrel_guardrail.schema.guardrail_stream_chunk import GuardrailStreamChunk as GuardrailStreamChunk

__all__ = ["GuardrailInput", "GuardrailResult", "GuardrailStreamChunk"]
