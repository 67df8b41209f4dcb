from abc import ABC, abstractmethod
from collections.abc import Mapping
from types import TracebackType
from typing import Any, Self

from pydantic import BaseModel

from vadrel_core.event.event_emitter import EventEmitter
from vadrel_inference.schema import LMOutput, Message, ModelId

__all__ = ["BaseLMInvoker"]

class BaseLMInvoker(ABC):
    model_id: str | ModelId
    response_schema: type[BaseModel] | None
    def __init__(self, model_id: str | ModelId, response_schema: type[BaseModel] | None = None) -> None: ...
    @abstractmethod
    async def invoke(
        self,
        messages: list[Message],
        hyperparameters: Mapping[str, Any] | None = None,
        event_emitter: EventEmitter | None = None,
    ) -> LMOutput | str: ...
    async def aclose(self) -> None: ...
    def __repr__(self) -> str: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None: ...
