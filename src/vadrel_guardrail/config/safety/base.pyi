from abc import ABC, abstractmethod
from typing import Any, Protocol, Self, TypeVar

class SafetyItem(Protocol):
    @property
    def label(self) -> str: ...
    description: str | None
    examples: list[str] | None

T = TypeVar("T", bound=BaseSafetyConfigBuilder)

class BaseSafetyConfigBuilder(ABC):
    @abstractmethod
    def get_string(self) -> str: ...
    @abstractmethod
    def to_dict(self) -> dict[str, Any]: ...
    @classmethod
    @abstractmethod
    def with_defaults(cls, **kwargs: Any) -> Self: ...
