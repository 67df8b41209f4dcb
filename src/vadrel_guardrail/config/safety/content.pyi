from typing import Any, ClassVar, Self, TypedDict, Unpack

from pydantic import BaseModel

from vadrel_guardrail.config.safety.base import BaseSafetyConfigBuilder

class ContentSafetyItem(BaseModel):
    category: str
    description: str | None = None
    examples: list[str] | None = None
    @property
    def label(self) -> str: ...

# The keywords `with_defaults` passes on to the constructor.
class _ContentSafetyKeywords(TypedDict, total=False):
    enabled_categories: list[str] | None
    safety_items: list[ContentSafetyItem] | None

class ContentSafetyConfigBuilder(BaseSafetyConfigBuilder):
    DEFAULT_CONTENT_SAFETY_FILE: ClassVar[str]
    CONTENT_SAFETY_TEMPLATE: ClassVar[str]
    safety_items: list[ContentSafetyItem]
    enabled_categories: list[str]
    def __init__(
        self, enabled_categories: list[str] | None = None, safety_items: list[ContentSafetyItem] | None = None
    ) -> None: ...
    # Narrows the base's open keywords to the constructor's own (others fail in the constructor).
    @classmethod
    def with_defaults(cls, **kwargs: Unpack[_ContentSafetyKeywords]) -> Self: ...  # type: ignore[override]
    def to_dict(self) -> dict[str, Any]: ...
    def get_string(self) -> str: ...
