"""Checked by mypy --strict only: the engine contract and the builders, invokers and records as
an application uses them beyond the README."""

from collections.abc import AsyncIterator
from typing import Any

from vadrel_guardrail import (
    BaseGuardrailEngineConfig,
    GuardrailManager,
    GuardrailMode,
    GuardrailResult,
    PhraseMatcherEngine,
)
from vadrel_guardrail.config.safety import ContentSafetyConfigBuilder, TopicSafetyConfigBuilder, TopicSafetyItem
from vadrel_guardrail.engine.base_engine import (
    FullStreamGuardrailAdapter,
    GuardrailStreamBufferLimitError,
    StreamingGuardrailEngine,
)
from vadrel_guardrail.engine.dm_engine import DMGuardrailEngine, DMGuardrailEngineConfig
from vadrel_guardrail.schema import GuardrailStreamChunk
from vadrel_inference import BaseInvokerError, build_dm_invoker, build_lm_invoker
from vadrel_inference.schema import Message, MessageRole


class KeywordConfig(BaseGuardrailEngineConfig):
    keyword: str = "forbidden"


class KeywordEngine:
    """An engine by structure alone, with a configuration of its own class."""

    def __init__(self) -> None:
        self.config = KeywordConfig(guardrail_mode=GuardrailMode.BOTH)

    async def check_input(self, content: str, **kwargs: Any) -> GuardrailResult:
        if self.config.keyword in content:
            return GuardrailResult.unsafe("keyword", category="words", score=1.0)
        return GuardrailResult.safe()

    async def check_output(self, content: str, **kwargs: Any) -> GuardrailResult:
        return await self.check_input(content, **kwargs)

    async def check_input_stream(
        self, chunks: AsyncIterator[str], **kwargs: Any
    ) -> AsyncIterator[GuardrailStreamChunk]:
        async for chunk in chunks:
            yield GuardrailStreamChunk(chunk=chunk, is_safe=True)

    def check_output_stream(self, chunks: AsyncIterator[str], **kwargs: Any) -> AsyncIterator[GuardrailStreamChunk]:
        return FullStreamGuardrailAdapter(self).check_output_stream(chunks, max_stream_buffer_chunks=100)


async def use() -> dict[str, Any]:
    engine = KeywordEngine()
    streaming: StreamingGuardrailEngine = engine
    config = DMGuardrailEngineConfig(default_threshold=0.7)
    dm = DMGuardrailEngine(build_dm_invoker("openrouter/brevano/olk-1.13"), config)
    manager = GuardrailManager([engine, dm], raise_on_exceptions=(BaseInvokerError,), max_stream_buffer_chunks=50)
    # A list of one engine class, made before the manager (lists are invariant).
    phrase_engines = [PhraseMatcherEngine(use_spacy=False), PhraseMatcherEngine(banned_phrases=["x"])]
    GuardrailManager(engine=phrase_engines, empty_content_safe=False)
    dm_engines: list[DMGuardrailEngine] = [
        DMGuardrailEngine.from_config("openrouter/brevano/olk-1.13", engine_config=config)
    ]
    GuardrailManager(dm_engines)
    result = await manager.check_content("text", engine_kwargs={"hyperparameters": {"temperature": 0.0}})
    reason: str | None = result.reason
    async def source() -> AsyncIterator[str]:
        yield "a"
    async for item in manager.check_input_stream(source()):
        terminal = not item.is_safe and item.chunk == ""
        print(terminal, item.reason)
    async for item in streaming.check_input_stream(source()):
        print(item.chunk)
    topics = TopicSafetyConfigBuilder.with_defaults(allowed_topic_items=[TopicSafetyItem(topic="cooking")])
    content = ContentSafetyConfigBuilder(enabled_categories=["Violence"])
    invoker = build_lm_invoker("openai/gpt-4o-mini", config={"max_retries": 2, "max_connections": 4})
    async with invoker:
        answer = await invoker.invoke([Message(role=MessageRole.USER, contents=["hi"])])
    try:
        raise GuardrailStreamBufferLimitError("chunks", 3, 4)
    except GuardrailStreamBufferLimitError as error:
        attempted: int = error.attempted
    print(reason, topics.get_string(), content.enabled_categories, answer, attempted)
    return GuardrailResult.from_dict(result.to_dict()).to_dict()
