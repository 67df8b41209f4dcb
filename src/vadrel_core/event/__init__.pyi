from vadrel_core.event import event_emitter as event_emitter
from vadrel_core.event import handler as handler
from vadrel_core.event.event_emitter import EventEmitter as EventEmitter

__all__ = ["EventEmitter"]
