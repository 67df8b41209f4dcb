import logging
from collections.abc import AsyncGenerator, AsyncIterator, Mapping
from typing import Any, ClassVar, Self

# NeMo Guardrails ships no type information: its names are Any to a type checker.
from nemoguardrails import LLMRails  # type: ignore[import-untyped]

from vadrel_core.utils import LoggerManager
from vadrel_guardrail.config.safety import ContentSafetyConfigBuilder, TopicSafetyConfigBuilder
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig, GuardrailEngine
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk
from vadrel_inference.builder import build_lm_invoker as build_lm_invoker
from vadrel_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vadrel_inference.schema import ModelId

manager: LoggerManager
logger: logging.Logger

def init_guardrails_provider_registration() -> bool: ...

class NemoGuardrailEngineConfig(BaseGuardrailEngineConfig):
    lm_invoker: BaseLMInvoker | None = None
    fallback_lms: list[BaseLMInvoker] = ...
    nemo_kwargs: dict[str, Any] | None = None
    content_safety_config: ContentSafetyConfigBuilder | None = None
    topic_safety_config: TopicSafetyConfigBuilder | None = None
    @classmethod
    def from_model_config(
        cls,
        model_id: str | ModelId,
        credentials: str | Mapping[str, Any] | None = None,
        config: Mapping[str, Any] | None = None,
        fallback_lms: list[BaseLMInvoker] | None = None,
        **kwargs: Any,
    ) -> Self: ...

class NemoGuardrailEngine(GuardrailEngine):
    requires_full_stream: ClassVar[bool]
    config: NemoGuardrailEngineConfig
    rails: LLMRails | None
    def __init__(self, config: NemoGuardrailEngineConfig) -> None: ...
    async def check_input(self, content: str, **kwargs: Any) -> GuardrailResult: ...
    async def check_output(self, content: str, **kwargs: Any) -> GuardrailResult: ...
    def check_input_stream(
        self, chunks: AsyncIterator[str], **kwargs: Any
    ) -> AsyncGenerator[GuardrailStreamChunk, None]: ...
    def check_output_stream(
        self, chunks: AsyncIterator[str], **kwargs: Any
    ) -> AsyncGenerator[GuardrailStreamChunk, None]: ...
