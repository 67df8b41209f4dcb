from abc import ABC, abstractmethod

from vadrel_core.schema.event import Event

__all__ = ["BaseEventHandler"]

class BaseEventHandler(ABC):
    name: str
    def __init__(self, name: str | None = None) -> None: ...
    @abstractmethod
    async def emit(self, event: Event) -> None: ...
    @abstractmethod
    async def close(self) -> None: ...
