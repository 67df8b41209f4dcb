from vadrel_guardrail.adapter import nemo_adapter as nemo_adapter
from vadrel_guardrail.adapter.nemo_adapter import NeMoLMAdapter as NeMoLMAdapter

__all__ = ["NeMoLMAdapter"]
