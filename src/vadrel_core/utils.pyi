import logging
from enum import Enum
from typing import TypeVar

__all__ = ["LoggerManager", "validate_enum"]

_E = TypeVar("_E", bound=Enum)

class LoggerManager:
    def __init__(self) -> None: ...
    def get_logger(self, name: str | None = None) -> logging.Logger: ...

def validate_enum(enum_cls: type[_E], value: object) -> _E: ...
