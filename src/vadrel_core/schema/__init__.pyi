from vadrel_core.schema import component as component
from vadrel_core.schema import event as event
from vadrel_core.schema.component import Component as Component
from vadrel_core.schema.event import Event as Event

__all__ = ["Component", "Event"]
