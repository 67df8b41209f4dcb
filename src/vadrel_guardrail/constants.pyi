from enum import StrEnum
from typing import Final

class GuardrailMode(StrEnum):
    DISABLED = "disabled"
    INPUT_ONLY = "input_only"
    OUTPUT_ONLY = "output_only"
    BOTH = "both"

class GuardrailConstants:
    CONTENT_KEY: Final = "content"
    QUERY_KEY: Final = "query"
    CONTEXT_KEY: Final = "context"
    ANSWER_KEY: Final = "answer"
    ENGINE_KWARGS_KEY: Final = "engine_kwargs"
    IS_SAFE_KEY: Final = "is_safe"
    REASON_KEY: Final = "reason"
    FILTERED_CONTENT_KEY: Final = "filtered_content"
    DEFAULT_EMPTY_CONTENT_SAFE: Final = True
    DEFAULT_ERROR_CONSERVATIVE: Final = True
    DEFAULT_RAISE_ON_EXCEPTIONS: Final[tuple[type[Exception], ...]]

DEFAULT_MAX_STREAM_BUFFER_BYTES: Final = 1048576
DEFAULT_MAX_STREAM_BUFFER_CHUNKS: Final = 10000

class TopicSafetyMode(StrEnum):
    ALLOWLIST = "allowlist"
    DENYLIST = "denylist"
    HYBRID = "hybrid"
    DISABLED = "disabled"

NEMO_BASE_CONFIG_PATH: Final[str]
