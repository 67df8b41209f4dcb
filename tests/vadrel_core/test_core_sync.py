"""Synchronous surface of vadrel_core: logging, enum validation, constants, the event record and
the abstract handler base."""

import enum
import logging

import pydantic
import pytest

from vadrel_core.constants import EventType, EventValueType
from vadrel_core.event.handler.event_handler import BaseEventHandler
from vadrel_core.schema import Event
from vadrel_core.utils import LoggerManager, validate_enum


class TestLoggerManager:
    def test_both_modules_offer_the_same_class(self):
        import vadrel_core.logging

        assert vadrel_core.logging.LoggerManager is LoggerManager

    def test_returns_the_standard_library_logger_without_configuring_it(self):
        logger = LoggerManager().get_logger("vadrel_core_tests.some.module")
        assert logger is logging.getLogger("vadrel_core_tests.some.module")
        assert logger.handlers == []
        assert logger.level == logging.NOTSET

    def test_records_reach_the_standard_machinery(self, caplog):
        logger = LoggerManager().get_logger("vadrel_core_tests.records")
        with caplog.at_level(logging.DEBUG, logger="vadrel_core_tests.records"):
            try:
                raise RuntimeError("boom")
            except RuntimeError:
                logger.error("failed", exc_info=True)
            logger.debug("detail")
        assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("ERROR", "failed"), ("DEBUG", "detail")]
        assert caplog.records[0].exc_info[0] is RuntimeError


class TestValidateEnum:
    def test_member_and_value_text_give_the_member(self):
        assert validate_enum(EventType, EventType.RESPONSE) is EventType.RESPONSE
        assert validate_enum(EventType, "response") is EventType.RESPONSE

    @pytest.mark.parametrize("value", ["RESPONSE", "nope", "", None, 1, ["response"]])
    def test_other_values_raise_value_error_naming_the_valid_values(self, value):
        with pytest.raises(ValueError) as info:
            validate_enum(EventType, value)
        message = str(info.value)
        assert "EventType" in message
        for member in EventType:
            assert member.value in message

    def test_a_value_that_utf8_cannot_hold_is_still_named(self):
        odd = enum.Enum("Odd", {"A": "a\udc80"})
        with pytest.raises(ValueError) as info:
            validate_enum(odd, "b")
        assert str(info.value) == "Invalid Odd value 'b'. Valid values: a\udc80"


class TestEvents:
    def test_enumerations(self):
        assert EventType.RESPONSE == "response"
        assert EventValueType.TEXT == "text"

    def test_event_record_coerces_and_validates(self):
        event = Event(type="response", value_type="text", value="hi")
        assert event.type is EventType.RESPONSE
        assert event.value_type is EventValueType.TEXT
        assert event.value == "hi"
        assert Event(type=EventType.RESPONSE).value_type is EventValueType.TEXT
        assert isinstance(event, pydantic.BaseModel)
        with pytest.raises(pydantic.ValidationError):
            Event(type="not-a-kind", value="x")

    def test_handler_base_is_abstract_until_both_operations_exist(self):
        with pytest.raises(TypeError):
            BaseEventHandler(name="x")

        class OnlyEmit(BaseEventHandler):
            async def emit(self, event):
                pass

        with pytest.raises(TypeError, match="close"):
            OnlyEmit(name="x")

        class Complete(OnlyEmit):
            async def close(self):
                pass

        assert Complete(name="queue").name == "queue"
        assert Complete().name == "Complete"

    def test_abstract_operation_reached_through_super_raises(self):
        class Handler(BaseEventHandler):
            def emit(self, event):
                return super().emit(event)

            def close(self):
                return super().close()

        with pytest.raises(NotImplementedError):
            Handler(name="h").emit(Event(type="response"))
