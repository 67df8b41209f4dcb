from typing import Any

from pydantic import BaseModel

from vadrel_core.constants import EventType, EventValueType

__all__ = ["Event"]

class Event(BaseModel):
    type: EventType
    value_type: EventValueType = ...
    value: Any = ...
