from collections.abc import Mapping
from typing import Any

from vadrel_inference.dm_invoker.dm_invoker import BaseDMInvoker
from vadrel_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vadrel_inference.schema import DMOutput, DMQuestion

__all__ = ["LMBasedDMInvoker"]

class LMBasedDMInvoker(BaseDMInvoker):
    lm_invoker: BaseLMInvoker
    def __init__(self, lm_invoker: BaseLMInvoker) -> None: ...
    async def invoke(
        self,
        state: Mapping[str, Any],
        questions: Mapping[str, DMQuestion],
        hyperparameters: Mapping[str, Any] | None = None,
        trace_attributes: Mapping[str, Any] | None = None,
    ) -> DMOutput: ...
    async def aclose(self) -> None: ...
