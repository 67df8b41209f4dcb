from collections.abc import Mapping
from typing import Any, Self

from vadrel_core.schema.component import Component
from vadrel_inference.dm_invoker.dm_invoker import BaseDMInvoker
from vadrel_inference.schema import DMOutput, DMQuestion, ModelId

__all__ = ["DMComponent"]

class DMComponent(Component):
    dm_invoker: BaseDMInvoker
    def __init__(self, dm_invoker: BaseDMInvoker, engine_config: Any = None) -> None: ...
    @classmethod
    def from_config(
        cls,
        model_id: str | ModelId,
        engine_config: Any = None,
        credentials: str | Mapping[str, Any] | None = None,
        config: Mapping[str, Any] | None = None,
    ) -> Self: ...
    async def _invoke_dm(
        self,
        state: Mapping[str, Any],
        questions: Mapping[str, DMQuestion],
        hyperparameters: Mapping[str, Any] | None = None,
        trace_attributes: Mapping[str, Any] | None = None,
    ) -> DMOutput: ...
