from collections.abc import Mapping
from typing import Any

from pydantic import BaseModel

from vadrel_core.event.event_emitter import EventEmitter
from vadrel_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vadrel_inference.schema import LMOutput, Message, ModelId

__all__ = ["OpenAICompatibleLMInvoker"]

class OpenAICompatibleLMInvoker(BaseLMInvoker):
    model_name: str
    base_url: str
    timeout: float
    default_hyperparameters: dict[str, Any]
    max_connections: int
    max_retries: int
    max_answer_bytes: int
    def __init__(
        self,
        model_id: str | ModelId,
        base_url: str,
        api_key: str,
        timeout: float = 60.0,
        default_hyperparameters: Mapping[str, Any] | None = None,
        response_schema: type[BaseModel] | None = None,
        max_connections: int = 100,
        max_retries: int = 2,
        max_answer_bytes: int = 8388608,
    ) -> None: ...
    async def invoke(
        self,
        messages: list[Message],
        hyperparameters: Mapping[str, Any] | None = None,
        event_emitter: EventEmitter | None = None,
    ) -> LMOutput: ...
    async def aclose(self) -> None: ...
