from collections.abc import Mapping
from typing import Any, Self

from pydantic import BaseModel

class GuardrailInput(BaseModel):
    input: str | None = None
    output: str | None = None
    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Self: ...
