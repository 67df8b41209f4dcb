import logging
from collections.abc import Mapping
from typing import Any, Final, Literal, Self

from pydantic import BaseModel

from vadrel_core.utils import LoggerManager
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig, GuardrailEngine
from vadrel_guardrail.schema import GuardrailResult
from vadrel_inference.component import DMComponent
from vadrel_inference.dm_invoker.dm_invoker import BaseDMInvoker
from vadrel_inference.schema import DMQuestion, ModelId

manager: LoggerManager
logger: logging.Logger

DEFAULT_DM_MODEL_ID: Final = "openrouter/brevano/olk-1.13"
DEFAULT_DM_THRESHOLD: Final = 0.5
DEFAULT_STATE_TEMPLATE: Final[dict[str, Any]]
BUNDLED_POLICY_PACKAGE: Final[str]
BUNDLED_POLICY_FILE: Final[str]

class DMQuestionConfig(BaseModel):
    instructions: str
    criteria: dict[Literal["true", "false"], str] | None = None

class DMPolicyConfig(BaseModel):
    category: str
    reason: str
    threshold: float | None = None
    question: DMQuestionConfig

class DMGuardrailEngineConfig(BaseGuardrailEngineConfig):
    policy_config_path: str | None = None
    policies: dict[str, DMPolicyConfig] | None = None
    default_threshold: float = 0.5
    state_template: dict[str, Any] | None = None

class DMGuardrailEngine(DMComponent, GuardrailEngine):
    config: DMGuardrailEngineConfig
    policies: dict[str, DMPolicyConfig]
    questions: dict[str, DMQuestion]
    def __init__(self, dm_invoker: BaseDMInvoker, engine_config: DMGuardrailEngineConfig | None = None) -> None: ...
    @classmethod
    def from_config(
        cls,
        model_id: str | ModelId,
        engine_config: DMGuardrailEngineConfig | None = None,
        credentials: str | Mapping[str, Any] | None = None,
        config: Mapping[str, Any] | None = None,
    ) -> Self: ...
    async def check_input(
        self, content: str, *, trace_attributes: Mapping[str, Any] | None = None, **kwargs: Any
    ) -> GuardrailResult: ...
    async def check_output(
        self, content: str, *, trace_attributes: Mapping[str, Any] | None = None, **kwargs: Any
    ) -> GuardrailResult: ...
