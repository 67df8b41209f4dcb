"""Asynchronous operations of vadrel_core: the component entry point and the event emitter."""

import asyncio

import pytest

from vadrel_core.constants import EventType
from vadrel_core.event import EventEmitter
from vadrel_core.event.handler.event_handler import BaseEventHandler
from vadrel_core.schema import Component, Event


class TestComponent:
    def test_run_awaits_the_subclass_body_with_the_keywords(self):
        class Echo(Component):
            async def _run(self, **kwargs):
                await asyncio.sleep(0)
                return kwargs

        pending = Echo().run(content="hi", engine_kwargs={"a": 1})
        assert asyncio.iscoroutine(pending)
        assert asyncio.run(pending) == {"content": "hi", "engine_kwargs": {"a": 1}}

    def test_errors_of_the_body_pass_unchanged(self):
        class Failing(Component):
            async def _run(self, **kwargs):
                raise LookupError("missing")

        with pytest.raises(LookupError, match="missing"):
            asyncio.run(Failing().run())

    def test_subclass_needs_no_base_constructor(self):
        class Manager(Component):
            def __init__(self):  # deliberately does not call the base constructor
                self.calls = 0

            async def _run(self, **kwargs):
                self.calls += 1
                return "done"

        manager = Manager()
        assert asyncio.run(manager.run()) == "done" and manager.calls == 1


class Recorder(BaseEventHandler):
    def __init__(self, name, log, fail_on=None):
        super().__init__(name=name)
        self.log = log
        self.fail_on = fail_on

    async def emit(self, event):
        await asyncio.sleep(0)  # a real suspension: the next handler must still wait for this one
        if event.value == self.fail_on:
            raise ValueError(f"{self.name} refused {event.value}")
        self.log.append((self.name, event.value))

    async def close(self):
        await asyncio.sleep(0)
        self.log.append((self.name, "closed"))


def text_event(value):
    return Event(type=EventType.RESPONSE, value=value)


class TestEventEmitter:
    def test_events_reach_every_handler_in_order_and_close_reaches_them_all(self):
        log = []
        emitter = EventEmitter(handlers=[Recorder("a", log), Recorder("b", log)])

        async def main():
            for value in ("one", "two"):
                await emitter.emit(text_event(value))
            await emitter.close()

        asyncio.run(main())
        assert log == [("a", "one"), ("b", "one"), ("a", "two"), ("b", "two"), ("a", "closed"), ("b", "closed")]

    def test_a_failing_handler_stops_the_emission(self):
        log = []
        emitter = EventEmitter(handlers=[Recorder("a", log, fail_on="bad"), Recorder("b", log)])
        with pytest.raises(ValueError, match="a refused bad"):
            asyncio.run(emitter.emit(text_event("bad")))
        assert log == []

    def test_each_handler_there_when_the_call_came_is_reached_whatever_the_handlers_change(self):
        log = []

        class Leaving(Recorder):
            async def emit(self, event):
                emitter.handlers.clear()
                await super().emit(event)

            async def close(self):
                emitter.handlers.clear()
                await super().close()

        handlers = [Leaving("a", log), Recorder("b", log)]
        emitter = EventEmitter(handlers=handlers)
        asyncio.run(emitter.emit(text_event("one")))
        emitter.handlers = list(handlers)
        asyncio.run(emitter.close())
        assert log == [("a", "one"), ("b", "one"), ("a", "closed"), ("b", "closed")]

    def test_no_handlers(self):
        emitter = EventEmitter(handlers=[])
        asyncio.run(emitter.emit(text_event("x")))
        asyncio.run(emitter.close())
        assert EventEmitter().handlers == []
