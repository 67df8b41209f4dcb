from vadrel_guardrail import adapter as adapter
from vadrel_guardrail import config as config
from vadrel_guardrail import config_loader as config_loader
from vadrel_guardrail import constants as constants
from vadrel_guardrail import engine as engine
from vadrel_guardrail import guardrail_manager as guardrail_manager
from vadrel_guardrail import schema as schema
from vadrel_guardrail.constants import GuardrailMode as GuardrailMode
from vadrel_guardrail.engine import DMGuardrailEngine as DMGuardrailEngine
from vadrel_guardrail.engine import NemoGuardrailEngine as NemoGuardrailEngine
from vadrel_guardrail.engine import PhraseMatcherEngine as PhraseMatcherEngine
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig as BaseGuardrailEngineConfig
from vadrel_guardrail.engine.base_engine import GuardrailEngine as GuardrailEngine
from vadrel_guardrail.engine.dm_engine import DMGuardrailEngineConfig as DMGuardrailEngineConfig
from vadrel_guardrail.guardrail_manager import GuardrailManager as GuardrailManager
from vadrel_guardrail.schema import GuardrailInput as GuardrailInput
from vadrel_guardrail.schema import GuardrailResult as GuardrailResult

__all__ = [
    "BaseGuardrailEngineConfig",
    "DMGuardrailEngine",
    "DMGuardrailEngineConfig",
    "GuardrailEngine",
    "GuardrailInput",
    "GuardrailManager",
    "GuardrailMode",
    "GuardrailResult",
    "NemoGuardrailEngine",
    "PhraseMatcherEngine",
]
