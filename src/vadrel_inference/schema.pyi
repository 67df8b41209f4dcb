from enum import StrEnum
from typing import Any, Self

from pydantic import BaseModel

__all__ = ["DMOutput", "DMQuestion", "LMOutput", "Message", "MessageRole", "ModelId", "TokenUsage", "VeskAnswer"]

class ModelId(BaseModel):
    provider: str
    name: str
    @classmethod
    def from_string(cls, text: str) -> Self: ...
    def __hash__(self) -> int: ...
    def __str__(self) -> str: ...

class MessageRole(StrEnum):
    SYSTEM = "system"
    USER = "user"
    ASSISTANT = "assistant"

class Message(BaseModel):
    role: MessageRole
    contents: list[Any]

class TokenUsage(BaseModel):
    input_tokens: int = 0
    output_tokens: int = 0

class LMOutput(BaseModel):
    text: str = ""
    structured_output: Any = None
    token_usage: TokenUsage | None = None

class DMQuestion(BaseModel):
    answer_type: str = "vesk"
    instructions: str
    criteria: dict[str, str] | None = None
    @classmethod
    def vesk(cls, instructions: str, criteria: dict[str, str] | None = None) -> Self: ...

class VeskAnswer(BaseModel):
    vesk: Any

class DMOutput(BaseModel):
    answers: dict[str, Any]
    token_usage: TokenUsage | None = None
