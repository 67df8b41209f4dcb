"""The validated source: text only, one chunk of look-ahead, closed at most once."""

import asyncio
import logging
import os
import sys

import pytest

from vadrel_guardrail.engine.base_engine import GuardrailStreamValidationError
from vadrel_guardrail.guardrail_manager import _ValidatedSource

sys.path.insert(0, os.path.dirname(__file__))  # the shared doubles beside this file
from stream_doubles import LOGGER, Source, Unclosable  # noqa: E402

class TestValidatedSource:
    def test_construction(self):
        source = Source(["a"])
        validated = _ValidatedSource(source)
        assert source.aiter_calls == 1
        assert (validated._source, validated.any_chunk, validated._closed, validated._buffered_chunk,
                validated._has_buffer) == (source, False, False, None, False)
        assert validated.__aiter__() is validated
        with pytest.raises(AttributeError, match="__aiter__"):
            _ValidatedSource([1])
        with pytest.raises(TypeError):
            _ValidatedSource()

    def test_text_test(self):
        class Text(str):
            pass

        async def go():
            validated = _ValidatedSource(Source(["", Text("t"), 3]))
            assert await validated.__anext__() == "" and validated.any_chunk
            assert type(await validated.__anext__()) is Text
            with pytest.raises(GuardrailStreamValidationError) as info:
                await validated.__anext__()
            assert str(info.value) == "Stream chunks must be strings. Got: <class 'int'>"
            assert isinstance(info.value, ValueError)
            first_bytes = _ValidatedSource(Source([b"x"]))
            with pytest.raises(GuardrailStreamValidationError, match=r"Got: <class 'bytes'>$"):
                await first_bytes.peek()
            assert not first_bytes.any_chunk and not first_bytes._has_buffer

        asyncio.run(go())

    def test_look_ahead(self):
        async def go():
            source = Source(["a", "b"])
            validated = _ValidatedSource(source)
            assert [await validated.peek(), await validated.peek()] == ["a", "a"]
            assert source.position == 1 and validated._has_buffer and validated._buffered_chunk == "a"
            assert [await validated.__anext__(), await validated.__anext__()] == ["a", "b"]
            with pytest.raises(StopAsyncIteration):
                await validated.__anext__()
            with pytest.raises(StopAsyncIteration):
                await validated.peek()
            assert not validated._has_buffer

        asyncio.run(go())

    def test_a_failed_read_keeps_the_state_and_is_read_again(self):
        async def go():
            failure = OSError("network")
            validated = _ValidatedSource(Source(["a"], fail_at=0, error=failure))
            with pytest.raises(OSError) as info:
                await validated.peek()
            assert info.value is failure and not validated._has_buffer and not validated.any_chunk
            assert [chunk async for chunk in validated] == ["a"]

        asyncio.run(go())

    def test_close(self, caplog):
        async def go():
            source = Source(["a", "b"])
            validated = _ValidatedSource(source)
            await validated.peek()
            first = asyncio.ensure_future(validated.aclose())
            await asyncio.sleep(0)  # the first close is waiting on the caller's aclose
            assert validated._closed
            await validated.aclose()
            await first
            assert source.aclose_calls == 1
            assert (validated._has_buffer, validated._buffered_chunk) == (False, None)
            with pytest.raises(StopAsyncIteration):
                await validated.peek()
            with pytest.raises(StopAsyncIteration):
                await validated.__anext__()
            await _ValidatedSource(Unclosable(["a"])).aclose()

        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            asyncio.run(go())
        assert caplog.records == []

    def test_close_failure_is_logged_and_swallowed(self, caplog):
        async def go():
            validated = _ValidatedSource(Source(["a"], close_error=RuntimeError("stuck")))
            assert await validated.aclose() is None
            assert validated._closed

        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            asyncio.run(go())
        [record] = caplog.records
        assert (record.levelno, record.getMessage()) == (logging.DEBUG, "Error closing validated source: stuck")
        assert record.exc_info[1].args == ("stuck",)

        class Interrupt(BaseException):
            pass

        with pytest.raises(Interrupt):
            asyncio.run(_ValidatedSource(Source([], close_error=Interrupt())).aclose())

    def test_broken_look_ahead(self, monkeypatch):
        async def go():
            validated = _ValidatedSource(Source(["a"]))
            validated._has_buffer = True
            with pytest.raises(GuardrailStreamValidationError, match="^Buffered chunk missing when _has_buffer was set.$"):
                await validated.peek()
            with pytest.raises(GuardrailStreamValidationError, match="^Buffered chunk missing when _has_buffer was set.$"):
                await validated.__anext__()
            assert not validated._has_buffer
            assert await validated.__anext__() == "a"

            async def none_read(self):
                return None

            monkeypatch.setattr(_ValidatedSource, "_next", none_read)
            with pytest.raises(GuardrailStreamValidationError,
                               match="^Buffered chunk missing after reading from source.$"):
                await _ValidatedSource(Source(["b"])).peek()

        asyncio.run(go())
