"""Test doubles for the NeMo model adapter: scripted invokers and a loop-step watchdog."""

import asyncio

from vadrel_core.constants import EventType, EventValueType
from vadrel_core.schema import Event
from vadrel_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vadrel_inference.schema import LMOutput, TokenUsage


def text_event(value):
    return Event(type=EventType.RESPONSE, value_type=EventValueType.TEXT, value=value)


class ScriptedInvoker(BaseLMInvoker):
    """Records each call; emits the scripted pieces when given an emitter; then raises `error`, or
    answers with `answer` (an LMOutput, text, or by default an LMOutput of the joined pieces)."""

    def __init__(self, model_id="test/primary", pieces=(), answer=None, error=None, usage=(5, 2),
                 response_schema=None, events=None, before_answer=None):
        super().__init__(model_id=model_id, response_schema=response_schema)
        self.pieces = list(pieces)
        self.answer = answer
        self.error = error
        self.usage = usage
        self.events = events  # explicit events to emit instead of the pieces
        self.before_answer = before_answer  # awaited after emitting, before answering
        self.calls = []

    async def invoke(self, messages, hyperparameters=None, event_emitter=None):
        self.calls.append({"messages": messages, "hyperparameters": hyperparameters, "event_emitter": event_emitter})
        if event_emitter is not None:
            for event in self.events if self.events is not None else [text_event(p) for p in self.pieces]:
                await event_emitter.emit(event)
        if self.before_answer is not None:
            await self.before_answer(self)
        if self.error is not None:
            raise self.error
        if self.answer is not None:
            return self.answer
        usage = TokenUsage(input_tokens=self.usage[0], output_tokens=self.usage[1]) if self.usage else None
        return LMOutput(text="".join(self.pieces) or "answer", token_usage=usage)


def run(awaitable):
    return asyncio.run(awaitable)


async def within_steps(awaitable, steps=500):
    """Await `awaitable`, failing if it is not done after `steps` turns of the event loop: a stream
    that would wait for ever fails the test instead of hanging it."""
    task = asyncio.ensure_future(awaitable)
    for _ in range(steps):
        if task.done():
            return task.result()
        await asyncio.sleep(0)
    task.cancel()
    raise AssertionError(f"still waiting after {steps} loop steps")


async def collect(agen):
    return [item async for item in agen]
