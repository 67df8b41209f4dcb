"""The adapter module as it loads, the `adapter` package surface, and the adapter's class shape."""

import asyncio
import collections.abc
import inspect
import logging
import typing

import pydantic
import pytest
from nemoguardrails import ChatMessage, LLMModel, LLMResponse, LLMResponseChunk, UsageInfo

import vadrel_guardrail.adapter as adapter_package
from vadrel_core.constants import EventType, EventValueType
from vadrel_core.event import EventEmitter
from vadrel_core.event.handler.event_handler import BaseEventHandler
from vadrel_core.schema import Event
from vadrel_guardrail.adapter import nemo_adapter
from vadrel_guardrail.adapter.nemo_adapter import NeMoLMAdapter, _QueueEventHandler
from vadrel_inference.exceptions import BaseInvokerError, InvokerRuntimeError
from vadrel_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vadrel_inference.schema import LMOutput, Message, MessageRole, TokenUsage

from nemo_adapter_doubles import ScriptedInvoker, collect, run, text_event


class TestPackageSurface:
    def test_doc_and_single_export(self):
        assert adapter_package.__doc__ == "Adapter for guardrail components."
        assert adapter_package.__all__ == ["NeMoLMAdapter"]
        assert adapter_package.NeMoLMAdapter is NeMoLMAdapter

    def test_wildcard_binds_only_the_adapter(self):
        namespace = {}
        exec("from vadrel_guardrail.adapter import *", namespace)
        assert sorted(k for k in namespace if not k.startswith("__")) == ["NeMoLMAdapter"]


class TestModule:
    def test_imported_names_are_the_libraries_own(self):
        expected = {
            "EventType": EventType, "EventValueType": EventValueType, "EventEmitter": EventEmitter,
            "BaseEventHandler": BaseEventHandler, "Event": Event, "BaseInvokerError": BaseInvokerError,
            "InvokerRuntimeError": InvokerRuntimeError, "BaseLMInvoker": BaseLMInvoker, "LMOutput": LMOutput,
            "Message": Message, "MessageRole": MessageRole, "TokenUsage": TokenUsage, "ChatMessage": ChatMessage,
            "LLMResponse": LLMResponse, "LLMResponseChunk": LLMResponseChunk, "UsageInfo": UsageInfo,
            "BaseModel": pydantic.BaseModel,
        }
        for name, value in expected.items():
            assert getattr(nemo_adapter, name) is value, name

    def test_logger_is_the_modules_own_and_no_manager_is_kept(self):
        assert isinstance(nemo_adapter.logger, logging.Logger)
        assert nemo_adapter.logger.name == "vadrel_guardrail.adapter.nemo_adapter"
        assert not hasattr(nemo_adapter, "manager")

    def test_invoke_result_is_the_union_of_the_three_shapes(self):
        assert typing.get_origin(nemo_adapter.InvokeResult) is typing.Union
        assert typing.get_args(nemo_adapter.InvokeResult) == (LMOutput, dict[str, typing.Any], pydantic.BaseModel)

    def test_stream_done_is_a_plain_unique_object(self):
        assert type(nemo_adapter._STREAM_DONE) is object
        assert nemo_adapter._STREAM_DONE is nemo_adapter._STREAM_DONE


class TestAdapterClass:
    def test_no_base_and_operations_in_order(self):
        assert NeMoLMAdapter.__bases__ == (object,)
        own = [n for n in vars(NeMoLMAdapter) if not n.startswith("__") or n == "__init__"]
        assert own == ["_ROLE_STRING_MAP", "__init__", "model_name", "provider_name", "provider_url",
                       "_ensure_invoker", "generate_async", "_build_hyperparameters", "stream_async",
                       "_convert_messages", "_invoke_with_fallback", "_resolve_invoke_result",
                       "_serialize_structured_output", "_build_llm_response"]
        kinds = vars(NeMoLMAdapter)
        for name in ("_build_hyperparameters", "_resolve_invoke_result", "_serialize_structured_output"):
            assert isinstance(kinds[name], staticmethod), name
        for name in ("model_name", "provider_name", "provider_url"):
            assert isinstance(kinds[name], property), name

    def test_role_table(self):
        assert list(NeMoLMAdapter._ROLE_STRING_MAP.items()) == [
            ("system", MessageRole.SYSTEM), ("assistant", MessageRole.ASSISTANT), ("ai", MessageRole.ASSISTANT),
            ("user", MessageRole.USER), ("human", MessageRole.USER)]

    def test_serves_the_nemo_model_protocol(self):
        adapter = NeMoLMAdapter(lm_invoker=ScriptedInvoker())
        assert isinstance(adapter, LLMModel)
        coroutine = adapter.generate_async("hi")
        assert isinstance(coroutine, collections.abc.Coroutine)
        assert coroutine.__qualname__ == "NeMoLMAdapter.generate_async"
        assert isinstance(run(coroutine), LLMResponse)
        stream = adapter.stream_async("hi")
        assert isinstance(stream, collections.abc.AsyncGenerator)
        assert stream.__qualname__ == "NeMoLMAdapter.stream_async"
        run(stream.aclose())

    def test_identity_properties_are_read_only(self):
        adapter = NeMoLMAdapter(lm_invoker=ScriptedInvoker())
        for name in ("model_name", "provider_name", "provider_url"):
            with pytest.raises(AttributeError):
                setattr(adapter, name, "x")

    def test_stop_is_keyword_only(self):
        adapter = NeMoLMAdapter(lm_invoker=ScriptedInvoker())
        for name in ("generate_async", "stream_async"):
            with pytest.raises(TypeError):
                getattr(adapter, name)("prompt", ["stop"])


class TestQueueEventHandler:
    def test_shape(self):
        handler = _QueueEventHandler()
        assert _QueueEventHandler.__bases__ == (BaseEventHandler,)
        assert handler.name == "NeMoLMAdapterQueueEventHandler"
        assert isinstance(handler.queue, asyncio.Queue) and handler.queue.maxsize == 0 and handler.queue.empty()
        assert [n for n in vars(_QueueEventHandler) if n in ("__init__", "emit", "close", "stream")] == [
            "__init__", "emit", "close", "stream"]

    def test_stream_yields_events_unchanged_up_to_the_sentinel(self):
        async def scenario():
            handler = _QueueEventHandler()
            first, odd, late = text_event("a"), "not an event", text_event("late")
            assert await handler.emit(first) is None
            await handler.emit(odd)
            assert await handler.close() is None
            await handler.emit(late)
            items = await collect(handler.stream())
            return items, first, odd, handler.queue.qsize()

        items, first, odd, left = run(scenario())
        assert items[0] is first and items[1] is odd and len(items) == 2
        assert left == 1  # what came after the sentinel stays queued, unread

    def test_sentinel_is_recognised_by_identity_only(self):
        class EqualsEverything:
            def __eq__(self, other):
                return True

            __hash__ = object.__hash__

        async def scenario():
            handler = _QueueEventHandler()
            item = EqualsEverything()
            await handler.emit(item)
            await handler.close()
            return item, await collect(handler.stream())

        item, items = run(scenario())
        assert items == [item] and items[0] is item

    def test_emitter_drives_the_handler(self):
        async def scenario():
            handler = _QueueEventHandler()
            emitter = EventEmitter(handlers=[handler])
            await emitter.emit(text_event("x"))
            await emitter.close()
            return [e.value for e in await collect(handler.stream())]

        assert run(scenario()) == ["x"]
