from collections.abc import Mapping
from typing import Any

from vadrel_inference.dm_invoker.lm_based_dm_invoker import LMBasedDMInvoker
from vadrel_inference.lm_invoker.openai_compatible_lm_invoker import OpenAICompatibleLMInvoker
from vadrel_inference.schema import ModelId

__all__ = ["build_dm_invoker", "build_lm_invoker"]

def build_lm_invoker(
    model_id: str | ModelId,
    credentials: str | Mapping[str, Any] | None = None,
    config: Mapping[str, Any] | None = None,
) -> OpenAICompatibleLMInvoker: ...
def build_dm_invoker(
    model_id: str | ModelId,
    credentials: str | Mapping[str, Any] | None = None,
    config: Mapping[str, Any] | None = None,
) -> LMBasedDMInvoker: ...
