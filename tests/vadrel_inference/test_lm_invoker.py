"""The chat-completions invoker against the local test server: plain and streamed answers, usage,
errors, malformed answers, time-outs and credentials."""

import asyncio
import json

import pydantic
import pytest

from vadrel_core.constants import EventType, EventValueType
from vadrel_core.event import EventEmitter
from vadrel_core.event.handler.event_handler import BaseEventHandler
from vadrel_inference.exceptions import BaseInvokerError, InvokerRuntimeError
from vadrel_inference.lm_invoker import build_lm_invoker
from vadrel_inference.schema import LMOutput, Message, MessageRole, TokenUsage


def invoker_for(server, credentials="secret", **config):
    return build_lm_invoker(
        model_id="local/tiny-model", credentials=credentials, config={"base_url": server.base_url, **config}
    )


def user(text):
    return [Message(role=MessageRole.USER, contents=[text])]


class Collector(BaseEventHandler):
    def __init__(self, name, log, fail=False):
        super().__init__(name=name)
        self.log = log
        self.fail = fail

    async def emit(self, event):
        if self.fail:
            raise self.fail
        self.log.append((self.name, event))

    async def close(self):
        self.log.append((self.name, "closed"))


class TestPlainAnswers:
    def test_answer_usage_and_request(self, chat_server):
        chat_server.reply_text("Hello there", usage=(12, 3))
        invoker = invoker_for(chat_server, temperature=0.0)
        messages = [
            Message(role=MessageRole.SYSTEM, contents=["be brief"]),
            Message(role=MessageRole.USER, contents=["hi", "there"]),
            Message(role=MessageRole.ASSISTANT, contents=["earlier answer"]),
        ]
        output = asyncio.run(invoker.invoke(messages=messages, hyperparameters={"max_tokens": 5}))

        assert isinstance(output, LMOutput)
        assert output.text == "Hello there"
        assert output.token_usage == TokenUsage(input_tokens=12, output_tokens=3)
        assert output.structured_output is None
        [request] = chat_server.requests
        assert request.path == "/v1/chat/completions"
        assert request.headers["Authorization"] == "Bearer secret"
        assert request.body == {
            "model": "tiny-model",
            "messages": [
                {"role": "system", "content": "be brief"},
                {"role": "user", "content": "hi\nthere"},
                {"role": "assistant", "content": "earlier answer"},
            ],
            "temperature": 0.0,
            "max_tokens": 5,
        }

    def test_call_hyperparameters_override_defaults_and_no_usage_gives_none(self, chat_server):
        chat_server.reply_text("ok")
        invoker = invoker_for(chat_server, temperature=0.0)
        output = asyncio.run(invoker.invoke(messages=user("x"), hyperparameters={"temperature": 0.7, "stream": True}))
        assert output.token_usage is None
        body = chat_server.requests[0].body
        # Streaming is decided by the emitter alone.
        assert body["temperature"] == 0.7 and "stream" not in body

    def test_structured_output_through_a_response_schema(self, chat_server):
        class Verdict(pydantic.BaseModel):
            safe: bool

        invoker = build_lm_invoker(
            model_id="local/tiny-model",
            credentials="k",
            config={"base_url": chat_server.base_url, "response_schema": Verdict},
        )
        assert invoker.response_schema is Verdict
        chat_server.reply_text('{"safe": true}')
        output = asyncio.run(invoker.invoke(messages=user("x")))
        assert output.structured_output == Verdict(safe=True)
        assert output.text == '{"safe": true}'
        response_format = chat_server.requests[0].body["response_format"]
        assert response_format["type"] == "json_schema"
        assert response_format["json_schema"]["schema"] == Verdict.model_json_schema()

        chat_server.reply_text("not the schema")
        with pytest.raises(InvokerRuntimeError, match="response schema"):
            asyncio.run(invoker.invoke(messages=user("x")))


class TestStreamedAnswers:
    def test_pieces_are_emitted_in_order_to_every_handler_before_the_return(self, chat_server):
        chat_server.reply_stream(["Hel", "lo", " world"], usage=(7, 3))
        log = []
        emitter = EventEmitter(handlers=[Collector("a", log), Collector("b", log)])
        output = asyncio.run(invoker_for(chat_server).invoke(messages=user("hi"), event_emitter=emitter))

        assert output.text == "Hello world"
        assert output.token_usage == TokenUsage(input_tokens=7, output_tokens=3)
        assert [(name, event.value) for name, event in log] == [
            ("a", "Hel"), ("b", "Hel"), ("a", "lo"), ("b", "lo"), ("a", " world"), ("b", " world"),
        ]
        for _, event in log:
            assert event.type == EventType.RESPONSE and event.value_type == EventValueType.TEXT
        body = chat_server.requests[0].body
        assert body["stream"] is True and body["stream_options"] == {"include_usage": True}
        # Closing the emitter is its owner's business, not the invoker's.
        assert all(entry != "closed" for _, entry in log)

    def test_stream_without_usage_or_text(self, chat_server):
        chat_server.reply_stream([])
        log = []
        output = asyncio.run(
            invoker_for(chat_server).invoke(messages=user("hi"), event_emitter=EventEmitter(handlers=[Collector("a", log)]))
        )
        assert (output.text, output.token_usage, log) == ("", None, [])

    @pytest.mark.parametrize("error", [KeyError("handler broke"), TimeoutError("the handler's own")])
    def test_a_handler_error_passes_unchanged(self, chat_server, error):
        chat_server.reply_stream(["a", "b"])
        emitter = EventEmitter(handlers=[Collector("a", [], fail=error)])
        with pytest.raises(type(error)) as raised:
            asyncio.run(invoker_for(chat_server).invoke(messages=user("hi"), event_emitter=emitter))
        assert raised.value is error


class TestTextUTF8CannotHold:
    """json.loads makes a lone surrogate of an unpaired escape such as "\\ud800"; such text travels as JSON escapes."""

    @pytest.mark.parametrize("streamed", [False, True])
    def test_requests_and_answers(self, chat_server, streamed):
        if streamed:
            chat_server.reply_stream(["un\ud800", "safe"])
        else:
            chat_server.reply_text("un\ud800safe")
        emitter = EventEmitter(handlers=[Collector("a", [])]) if streamed else None
        output = asyncio.run(invoker_for(chat_server).invoke(messages=user("a \ud800 b"), event_emitter=emitter))
        assert output.text == "un\ud800safe"
        assert chat_server.requests[0].body["messages"] == [{"role": "user", "content": "a \ud800 b"}]

    def test_error_messages(self, chat_server):
        chat_server.reply_error(400, "bad \ud800 input")
        with pytest.raises(InvokerRuntimeError, match="bad \ud800 input"):
            asyncio.run(invoker_for(chat_server).invoke(messages=user("x")))
        # The service's detail is cut to 500 bytes, never inside a character.
        chat_server.reply_error(400, "x" * 499 + "\u00e9")
        with pytest.raises(InvokerRuntimeError) as info:
            asyncio.run(invoker_for(chat_server).invoke(messages=user("x")))
        assert str(info.value).endswith(": " + "x" * 499 + "...")


class TestFailures:
    @pytest.mark.parametrize("streamed", [False, True])
    def test_http_error(self, chat_server, streamed):
        chat_server.reply_error(429, "slow down")
        log = []
        emitter = EventEmitter(handlers=[Collector("a", log)]) if streamed else None
        with pytest.raises(InvokerRuntimeError) as info:
            asyncio.run(invoker_for(chat_server, max_retries=0).invoke(messages=user("hi"), event_emitter=emitter))
        assert isinstance(info.value, BaseInvokerError)
        assert "429" in str(info.value) and "slow down" in str(info.value)
        assert str(info.value).startswith("[OpenAICompatibleLMInvoker] ")
        assert log == []

    @pytest.mark.parametrize(
        "body",
        [b"not json at all", b"[1, 2]", b'{"choices": []}', b'{"choices": [{"message": {"content": 5}}]}',
         b'{"error": {"message": "model overloaded"}}'],
    )
    def test_malformed_plain_answer(self, chat_server, body):
        chat_server.reply_raw(body)
        with pytest.raises(InvokerRuntimeError):
            asyncio.run(invoker_for(chat_server).invoke(messages=user("hi")))

    @pytest.mark.parametrize(
        "body",
        [b"data: {broken\n\n", b"data: [1]\n\n", b"nothing here\n\n",
         b'data: {"error": {"message": "mid-stream failure"}}\n\n'],
    )
    def test_malformed_streamed_answer(self, chat_server, body):
        chat_server.reply_stream_raw(body)
        emitter = EventEmitter(handlers=[Collector("a", [])])
        with pytest.raises(InvokerRuntimeError):
            asyncio.run(invoker_for(chat_server).invoke(messages=user("hi"), event_emitter=emitter))

    # Read as json.loads reads them: the same values (an error object is shown whole), the same errors.
    ANSWERS = [
        *(b'{"error": %s}' % value for value in [
            rb'"q\"\\\/\b\f\n\r\t \u00e9\ud83d\ude00 lone \ud800 \udc00\ud800\u0041 \u00E9"',
            '"raw \u00e9 \U0001f600"'.encode(), b'"\xed\xa0\x80 passed surrogate"', b"-0", b"0.5e-3", b"1E400", b"-1e-400",
            b"12345678901234567890123", b"-9223372036854775809", b"NaN", b"-Infinity", b"true",
            b'[1, [2.0, {"a": []}], {}, "x"]', b'{"a": 1, "b": {"c": null}, "a": 2}',
            b'{"message": 1, "code": [1], "message": null}', b"[" * 600 + b"]" * 600]),
        b'\xef\xbb\xbf{"error": 1}', b'{"choices": [{"message": {"content": "ok"}}], "error": 1, "error": 2}', b"", b" ",
        b"{", b"[", b"nul", b"-", b"-x", b"01", b"1.", b"1e5x", b'{"a" 1}', b'{"a": 1,}', b"[1,]", b"[1 2]", b'{"a": 1',
        b'{1: 2}', b'"abc', b'"a\\', b'"\\x"', b'"\\u12"', b'"\\u0041', b'"\\u12G4"', b'"\\ud800\\uZZZZ"', b'"a\x01"',
        b'{"a": 1} x', b"\xff", b'{"x": "\xc3\xa9"} \xff', b"[" * 100000,
        b'{"choices": [{"message": {"content": "ok"}}, {"skipped": [1, {"deep": "\xc3\xa9\\q"}]}]}',
        b'{"logprobs": [' + b'1' * 5000 + b'], "choices": [{"message": {"content": "ok"}}]}',
        b'{"choices": [{"message": {"content": "ok"}}], "usage": {"prompt_tokens": 1.}}',
        b'{"skipped": [[], {"a": [{}]}, {"b": [}]}', b'{"skipped": [{"a": 1,}]}', b'{"skipped": {"a": [1] "b"}}',
    ]

    @pytest.mark.parametrize("streamed", [False, True])
    def test_answers_are_read_as_json_loads_reads_them(self, chat_server, streamed):
        invoker = invoker_for(chat_server, max_retries=0)
        emitter = EventEmitter(handlers=[]) if streamed else None
        where = "malformed streamed answer: an event is" if streamed else "malformed answer:"
        for body in self.ANSWERS:
            if streamed and (b"\n" in body or b"\r" in body or body.strip() != body or not body):
                continue
            document = body.decode("utf-8", "replace") if streamed else body
            try:
                expected = f"the service answered with an error: {json.loads(document)['error']}"
            except (ValueError, RecursionError) as e:
                expected = f"{where} not JSON: {e}"
            chat_server.reply_stream_raw(b"data: " + body + b"\n\n") if streamed else chat_server.reply_raw(body)
            with pytest.raises(InvokerRuntimeError) as info:
                asyncio.run(invoker.invoke(messages=user("hi"), event_emitter=emitter))
            assert str(info.value) == f"[OpenAICompatibleLMInvoker] {expected}", body[:80]

    @pytest.mark.parametrize("streamed", [False, True])
    def test_time_out_raises_the_standard_error(self, chat_server, streamed):
        chat_server.reply_hang()  # the server holds the request until it stops
        emitter = EventEmitter(handlers=[Collector("a", [])]) if streamed else None
        invoker = invoker_for(chat_server, timeout=0.2)
        with pytest.raises(TimeoutError) as info:
            asyncio.run(invoker.invoke(messages=user("hi"), event_emitter=emitter))
        assert not isinstance(info.value, BaseInvokerError)

    def test_unreachable_service(self, chat_server):
        invoker = invoker_for(chat_server, max_retries=0)
        chat_server.stop()
        with pytest.raises(InvokerRuntimeError, match="failed"):
            asyncio.run(invoker.invoke(messages=user("hi")))


class TestCredentials:
    def test_argument_wins_over_the_environment(self, chat_server, monkeypatch):
        monkeypatch.setenv("LOCAL_API_KEY", "env-secret")
        asyncio.run(invoker_for(chat_server, credentials="arg-secret").invoke(messages=user("a")))
        asyncio.run(invoker_for(chat_server, credentials=None).invoke(messages=user("b")))
        assert [r.headers["Authorization"] for r in chat_server.requests] == ["Bearer arg-secret", "Bearer env-secret"]

    def test_missing_key_fails_at_build(self, chat_server, monkeypatch):
        monkeypatch.delenv("LOCAL_API_KEY", raising=False)
        with pytest.raises(ValueError, match="LOCAL_API_KEY"):
            invoker_for(chat_server, credentials=None)
        assert chat_server.requests == []
