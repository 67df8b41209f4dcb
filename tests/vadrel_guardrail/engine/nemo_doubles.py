"""Test doubles shared by the NeMo engine tests: invokers with canned answers, fixed-text safety builders."""

import asyncio
import socket

from vadrel_guardrail.config.safety import ContentSafetyConfigBuilder, TopicSafetyConfigBuilder
from vadrel_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vadrel_inference.schema import LMOutput, TokenUsage


class CannedInvoker(BaseLMInvoker):
    """Answers every call with the next canned answer (the last one repeats); an exception is raised."""

    def __init__(self, *answers, model_id="test/canned"):
        super().__init__(model_id=model_id)
        self.answers = list(answers) or ["safe"]
        self.calls = []

    async def invoke(self, messages, hyperparameters=None, event_emitter=None):
        self.calls.append({"messages": messages, "hyperparameters": hyperparameters})
        answer = self.answers.pop(0) if len(self.answers) > 1 else self.answers[0]
        if isinstance(answer, BaseException):
            raise answer
        return LMOutput(text=answer, token_usage=TokenUsage(input_tokens=3, output_tokens=1))

    def prompts(self):
        """The text of the last message of each call."""
        return [call["messages"][-1].contents[0] for call in self.calls]


class FixedContent(ContentSafetyConfigBuilder):
    """A content-safety builder whose text is given; counts its calls."""

    def __init__(self, text="CONTENT POLICY", log=None):
        self.text = text
        self.log = log if log is not None else []

    def get_string(self):
        self.log.append("content")
        return self.text


class FixedTopic(TopicSafetyConfigBuilder):
    """A topic-safety builder whose text is given; counts its calls."""

    def __init__(self, text="TOPIC POLICY", log=None):
        self.text = text
        self.log = log if log is not None else []

    def get_string(self):
        self.log.append("topic")
        return self.text


def run(awaitable):
    return asyncio.run(awaitable)


def refuse_remote_connections(monkeypatch):
    """Make every socket connection that does not go to this machine fail loudly."""
    original = socket.socket.connect

    def connect(self, address):
        host = address[0] if isinstance(address, tuple) else address
        if host not in ("127.0.0.1", "::1", "localhost") and self.family != socket.AF_UNIX:
            raise AssertionError(f"network access attempted: {address!r}")
        return original(self, address)

    monkeypatch.setattr(socket.socket, "connect", connect)


def refuse_embedding_models(monkeypatch):
    """Make any attempt to load an embeddings model fail loudly."""
    from nemoguardrails.embeddings.providers import fastembed

    def refuse(self, *args, **kwargs):
        raise AssertionError("an embeddings model was requested")

    monkeypatch.setattr(fastembed.FastEmbedEmbeddingModel, "__init__", refuse)
