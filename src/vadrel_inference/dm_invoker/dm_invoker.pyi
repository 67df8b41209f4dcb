from abc import ABC, abstractmethod
from collections.abc import Mapping
from types import TracebackType
from typing import Any, Self

from vadrel_inference.schema import DMOutput, DMQuestion, ModelId

__all__ = ["BaseDMInvoker"]

class BaseDMInvoker(ABC):
    model_id: str | ModelId
    def __init__(self, model_id: str | ModelId) -> None: ...
    @abstractmethod
    async def invoke(
        self,
        state: Mapping[str, Any],
        questions: Mapping[str, DMQuestion],
        hyperparameters: Mapping[str, Any] | None = None,
        trace_attributes: Mapping[str, Any] | None = None,
    ) -> DMOutput: ...
    async def aclose(self) -> None: ...
    def __repr__(self) -> str: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None: ...
