from vadrel_guardrail.engine import base_engine as base_engine
from vadrel_guardrail.engine import dm_engine as dm_engine
from vadrel_guardrail.engine import nemo_engine as nemo_engine
from vadrel_guardrail.engine import phrase_matcher_engine as phrase_matcher_engine
from vadrel_guardrail.engine.base_engine import GuardrailEngine as GuardrailEngine
from vadrel_guardrail.engine.dm_engine import DMGuardrailEngine as DMGuardrailEngine
from vadrel_guardrail.engine.dm_engine import DMGuardrailEngineConfig as DMGuardrailEngineConfig
from vadrel_guardrail.engine.nemo_engine import NemoGuardrailEngine as NemoGuardrailEngine
from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine as PhraseMatcherEngine

__all__ = [
    "DMGuardrailEngine",
    "DMGuardrailEngineConfig",
    "GuardrailEngine",
    "NemoGuardrailEngine",
    "PhraseMatcherEngine",
]
