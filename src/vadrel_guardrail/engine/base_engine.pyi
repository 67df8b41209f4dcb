from collections.abc import AsyncGenerator, AsyncIterator
from typing import Any, ClassVar, Protocol, runtime_checkable

from pydantic import BaseModel, ConfigDict

from vadrel_guardrail.constants import GuardrailMode
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk

class BaseGuardrailEngineConfig(BaseModel):
    model_config: ClassVar[ConfigDict]
    guardrail_mode: GuardrailMode = ...

@runtime_checkable
class GuardrailEngine(Protocol):
    # Read-only here, so that an engine may hold a configuration of a derived class.
    @property
    def config(self) -> BaseGuardrailEngineConfig: ...
    async def check_input(self, content: str, **kwargs: Any) -> GuardrailResult: ...
    async def check_output(self, content: str, **kwargs: Any) -> GuardrailResult: ...

class GuardrailStreamValidationError(ValueError):
    def __init__(self, message: str) -> None: ...

class GuardrailStreamBufferLimitError(Exception):
    limit_kind: str
    configured_limit: int
    attempted: int
    def __init__(self, limit_kind: str, configured_limit: int, attempted: int) -> None: ...

@runtime_checkable
class StreamingGuardrailEngine(Protocol):
    def check_input_stream(
        self, chunks: AsyncIterator[str], **kwargs: Any
    ) -> AsyncIterator[GuardrailStreamChunk]: ...
    def check_output_stream(
        self, chunks: AsyncIterator[str], **kwargs: Any
    ) -> AsyncIterator[GuardrailStreamChunk]: ...

class FullStreamGuardrailAdapter:
    requires_full_stream: ClassVar[bool]
    engine: GuardrailEngine
    def __init__(self, engine: GuardrailEngine) -> None: ...
    def check_input_stream(
        self,
        chunks: AsyncIterator[str],
        max_stream_buffer_bytes: int = 1048576,
        max_stream_buffer_chunks: int = 10000,
        **kwargs: Any,
    ) -> AsyncGenerator[GuardrailStreamChunk, None]: ...
    def check_output_stream(
        self,
        chunks: AsyncIterator[str],
        max_stream_buffer_bytes: int = 1048576,
        max_stream_buffer_chunks: int = 10000,
        **kwargs: Any,
    ) -> AsyncGenerator[GuardrailStreamChunk, None]: ...
