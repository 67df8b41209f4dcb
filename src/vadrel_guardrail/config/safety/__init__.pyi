from vadrel_guardrail.config.safety import base as base
from vadrel_guardrail.config.safety import content as content
from vadrel_guardrail.config.safety import topic as topic
from vadrel_guardrail.config.safety.base import BaseSafetyConfigBuilder as BaseSafetyConfigBuilder
from vadrel_guardrail.config.safety.content import ContentSafetyConfigBuilder as ContentSafetyConfigBuilder
from vadrel_guardrail.config.safety.content import ContentSafetyItem as ContentSafetyItem
from vadrel_guardrail.config.safety.topic import TopicSafetyConfigBuilder as TopicSafetyConfigBuilder
from vadrel_guardrail.config.safety.topic import TopicSafetyItem as TopicSafetyItem
from vadrel_guardrail.constants import TopicSafetyMode as TopicSafetyMode

__all__ = [
    "BaseSafetyConfigBuilder",
    "ContentSafetyConfigBuilder",
    "ContentSafetyItem",
    "TopicSafetyConfigBuilder",
    "TopicSafetyItem",
    "TopicSafetyMode",
]
