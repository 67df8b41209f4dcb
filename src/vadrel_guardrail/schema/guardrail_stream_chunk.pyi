from pydantic import BaseModel

class GuardrailStreamChunk(BaseModel):
    chunk: str
    is_safe: bool
    reason: str | None = None
