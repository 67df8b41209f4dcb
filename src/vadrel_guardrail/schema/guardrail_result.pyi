from collections.abc import Mapping
from typing import Any, Self

from pydantic import BaseModel

class GuardrailResult(BaseModel):
    is_safe: bool
    reason: str | None = None
    filtered_content: str | None = None
    category: str | None = None
    policy: str | None = None
    score: float | None = None
    def to_dict(self) -> dict[str, Any]: ...
    @classmethod
    def safe(cls, filtered_content: str | None = None, score: float | None = None) -> Self: ...
    @classmethod
    def unsafe(
        cls,
        reason: str,
        filtered_content: str | None = None,
        category: str | None = None,
        policy: str | None = None,
        score: float | None = None,
    ) -> Self: ...
    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Self: ...
