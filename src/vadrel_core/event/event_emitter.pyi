from collections.abc import Iterable

from vadrel_core.event.handler.event_handler import BaseEventHandler
from vadrel_core.schema.event import Event

__all__ = ["EventEmitter"]

class EventEmitter:
    handlers: list[BaseEventHandler]
    def __init__(self, handlers: Iterable[BaseEventHandler] | None = None) -> None: ...
    async def emit(self, event: Event) -> None: ...
    async def close(self) -> None: ...
