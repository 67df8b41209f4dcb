from vadrel_inference.builder import build_lm_invoker as build_lm_invoker
from vadrel_inference.lm_invoker import lm_invoker as lm_invoker
from vadrel_inference.lm_invoker import openai_compatible_lm_invoker as openai_compatible_lm_invoker
from vadrel_inference.lm_invoker.lm_invoker import BaseLMInvoker as BaseLMInvoker
from vadrel_inference.lm_invoker.openai_compatible_lm_invoker import (
    OpenAICompatibleLMInvoker as OpenAICompatibleLMInvoker,
)

__all__ = ["BaseLMInvoker", "OpenAICompatibleLMInvoker", "build_lm_invoker"]
