import logging
from collections.abc import AsyncGenerator, AsyncIterator
from re import Pattern
from typing import Any, ClassVar, Final

from vadrel_core.utils import LoggerManager
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig, GuardrailEngine
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk

manager: LoggerManager
logger: logging.Logger
SPACY_AVAILABLE: Final[bool]

class PhraseMatcherEngine(GuardrailEngine):
    DEFAULT_BANNED_PHRASES: ClassVar[list[str]]
    requires_full_stream: ClassVar[bool]
    config: BaseGuardrailEngineConfig
    banned_phrases: list[str]
    use_spacy: bool
    model_name: str
    banned_phrases_regex: Pattern[str] | None
    phrase_matcher: Any
    nlp: Any
    def __init__(
        self,
        config: BaseGuardrailEngineConfig | None = None,
        banned_phrases: list[str] | None = None,
        use_spacy: bool | None = None,
        model_name: str = "en_core_web_sm",
    ) -> None: ...
    async def check_input(self, content: str, **kwargs: Any) -> GuardrailResult: ...
    async def check_output(self, content: str, **kwargs: Any) -> GuardrailResult: ...
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
