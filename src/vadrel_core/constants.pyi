from enum import StrEnum

__all__ = ["EventType", "EventValueType"]

class EventType(StrEnum):
    RESPONSE = "response"
    STATUS = "status"
    ERROR = "error"
    DATA = "data"

class EventValueType(StrEnum):
    TEXT = "text"
    JSON = "json"
