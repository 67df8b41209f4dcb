from typing import Any, ClassVar, Self

from pydantic import BaseModel

from vadrel_guardrail.config.safety.base import BaseSafetyConfigBuilder

class ContentSafetyItem(BaseModel):
    category: str
    description: str | None = None
    examples: list[str] | None = None
    @property
    def label(self) -> str: ...

class ContentSafetyConfigBuilder(BaseSafetyConfigBuilder):
    DEFAULT_CONTENT_SAFETY_FILE: ClassVar[str]
    CONTENT_SAFETY_TEMPLATE: ClassVar[str]
    safety_items: list[ContentSafetyItem]
    enabled_categories: list[str]
    def __init__(
        self, enabled_categories: list[str] | None = None, safety_items: list[ContentSafetyItem] | None = None
    ) -> None: ...
    # Narrows the base's open keywords to the constructor's own, by keyword only.
    @classmethod
    def with_defaults(  # type: ignore[override]
        cls, *, enabled_categories: list[str] | None = None, safety_items: list[ContentSafetyItem] | None = None
    ) -> Self: ...
    def to_dict(self) -> dict[str, Any]: ...
    def get_string(self) -> str: ...
