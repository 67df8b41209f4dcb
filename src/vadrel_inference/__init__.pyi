from vadrel_inference import builder as builder
from vadrel_inference import component as component
from vadrel_inference import dm_invoker as dm_invoker
from vadrel_inference import exceptions as exceptions
from vadrel_inference import lm_invoker as lm_invoker
from vadrel_inference import schema as schema
from vadrel_inference.builder import build_dm_invoker as build_dm_invoker
from vadrel_inference.builder import build_lm_invoker as build_lm_invoker
from vadrel_inference.component import DMComponent as DMComponent
from vadrel_inference.dm_invoker.dm_invoker import BaseDMInvoker as BaseDMInvoker
from vadrel_inference.exceptions import BaseInvokerError as BaseInvokerError
from vadrel_inference.exceptions import InvokerRuntimeError as InvokerRuntimeError
from vadrel_inference.lm_invoker.lm_invoker import BaseLMInvoker as BaseLMInvoker
from vadrel_inference.schema import ModelId as ModelId

__all__ = [
    "BaseDMInvoker",
    "BaseInvokerError",
    "BaseLMInvoker",
    "DMComponent",
    "InvokerRuntimeError",
    "ModelId",
    "build_dm_invoker",
    "build_lm_invoker",
]
