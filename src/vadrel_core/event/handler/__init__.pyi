from vadrel_core.event.handler import event_handler as event_handler
from vadrel_core.event.handler.event_handler import BaseEventHandler as BaseEventHandler

__all__ = ["BaseEventHandler"]
