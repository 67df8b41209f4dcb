import logging
from collections.abc import AsyncGenerator
from typing import Any, TypeAlias

# NeMo Guardrails ships no type information: its names are Any to a type checker.
from nemoguardrails import ChatMessage, LLMResponse, LLMResponseChunk  # type: ignore[import-untyped]
from pydantic import BaseModel

from vadrel_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vadrel_inference.schema import LMOutput

logger: logging.Logger

InvokeResult: TypeAlias = LMOutput | dict[str, Any] | BaseModel

class NeMoLMAdapter:
    model: str | None
    lm_invoker: BaseLMInvoker | None
    fallback_lms: list[BaseLMInvoker]
    def __init__(
        self,
        model: str | None = None,
        lm_invoker: BaseLMInvoker | None = None,
        fallback_lms: list[BaseLMInvoker] | None = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def model_name(self) -> str: ...
    @property
    def provider_name(self) -> str: ...
    @property
    def provider_url(self) -> str | None: ...
    async def generate_async(
        self, prompt: str | list[ChatMessage], *, stop: list[str] | None = None, **kwargs: Any
    ) -> LLMResponse: ...
    def stream_async(
        self, prompt: str | list[ChatMessage], *, stop: list[str] | None = None, **kwargs: Any
    ) -> AsyncGenerator[LLMResponseChunk, None]: ...
