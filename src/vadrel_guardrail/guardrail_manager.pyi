import logging
from collections.abc import AsyncGenerator, AsyncIterable, Mapping
from typing import Any, TypeVar, overload

from vadrel_core.schema.component import Component
from vadrel_core.utils import LoggerManager
from vadrel_guardrail.engine.base_engine import GuardrailEngine
from vadrel_guardrail.schema import GuardrailInput, GuardrailResult, GuardrailStreamChunk

_EngineT = TypeVar("_EngineT", bound=GuardrailEngine)

manager: LoggerManager
logger: logging.Logger

class GuardrailManager(Component):
    empty_content_safe: bool
    error_conservative: bool
    raise_on_exceptions: tuple[type[Exception], ...]
    max_stream_buffer_bytes: int
    max_stream_buffer_chunks: int
    # Only a list is taken (the manager keeps the caller's list itself), so a list of one engine class is
    # taken through its own overload: lists are invariant.
    @overload
    def __init__(
        self,
        engine: GuardrailEngine | list[GuardrailEngine] | None = None,
        empty_content_safe: bool | None = None,
        error_conservative: bool | None = None,
        raise_on_exceptions: tuple[type[Exception], ...] | None = None,
        max_stream_buffer_bytes: int | None = None,
        max_stream_buffer_chunks: int | None = None,
    ) -> None: ...
    @overload
    def __init__(
        self,
        engine: list[_EngineT],
        empty_content_safe: bool | None = None,
        error_conservative: bool | None = None,
        raise_on_exceptions: tuple[type[Exception], ...] | None = None,
        max_stream_buffer_bytes: int | None = None,
        max_stream_buffer_chunks: int | None = None,
    ) -> None: ...
    @property
    def engines(self) -> list[GuardrailEngine]: ...
    async def check_content(
        self, content: str | GuardrailInput, engine_kwargs: Mapping[str, Any] | None = None
    ) -> GuardrailResult: ...
    def check_input_stream(
        self, chunks: AsyncIterable[str], engine_kwargs: Mapping[str, Any] | None = None
    ) -> AsyncGenerator[GuardrailStreamChunk, None]: ...
    def check_output_stream(
        self, chunks: AsyncIterable[str], engine_kwargs: Mapping[str, Any] | None = None
    ) -> AsyncGenerator[GuardrailStreamChunk, None]: ...
    async def _run(self, **kwargs: Any) -> GuardrailResult: ...
