from typing import Any, ClassVar, Self, TypedDict, Unpack

from pydantic import BaseModel

from vadrel_guardrail.config.safety.base import BaseSafetyConfigBuilder
from vadrel_guardrail.constants import TopicSafetyMode

class TopicSafetyItem(BaseModel):
    topic: str
    description: str | None = None
    examples: list[str] | None = None
    @property
    def label(self) -> str: ...

# The keywords `with_defaults` passes on to the constructor.
class _TopicSafetyKeywords(TypedDict, total=False):
    topic_safety_mode: TopicSafetyMode | str | None
    allowlist_topic: list[str] | None
    denylist_topic: list[str] | None
    allowed_topic_items: list[TopicSafetyItem] | None
    denied_topic_items: list[TopicSafetyItem] | None

class TopicSafetyConfigBuilder(BaseSafetyConfigBuilder):
    DEFAULT_TOPIC_SAFETY_FILE: ClassVar[str]
    ALLOWED_TOPIC_PREFIX: ClassVar[str]
    DENIED_TOPIC_PREFIX: ClassVar[str]
    TOPIC_ALLOWLIST_TOPIC_TEMPLATE: ClassVar[str]
    TOPIC_DENYLIST_TOPIC_TEMPLATE: ClassVar[str]
    topic_safety_mode: TopicSafetyMode | str
    allowed_topic_items: list[TopicSafetyItem]
    denied_topic_items: list[TopicSafetyItem]
    allowlist_topic: list[str]
    denylist_topic: list[str]
    def __init__(
        self,
        topic_safety_mode: TopicSafetyMode | str | None = None,
        allowlist_topic: list[str] | None = None,
        denylist_topic: list[str] | None = None,
        allowed_topic_items: list[TopicSafetyItem] | None = None,
        denied_topic_items: list[TopicSafetyItem] | None = None,
    ) -> None: ...
    # Narrows the base's open keywords to the constructor's own (others fail in the constructor).
    @classmethod
    def with_defaults(cls, **kwargs: Unpack[_TopicSafetyKeywords]) -> Self: ...  # type: ignore[override]
    def to_dict(self) -> dict[str, Any]: ...
    def get_string(self) -> str: ...
