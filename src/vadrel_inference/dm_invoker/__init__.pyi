from vadrel_inference.builder import build_dm_invoker as build_dm_invoker
from vadrel_inference.dm_invoker import dm_invoker as dm_invoker
from vadrel_inference.dm_invoker import lm_based_dm_invoker as lm_based_dm_invoker
from vadrel_inference.dm_invoker.dm_invoker import BaseDMInvoker as BaseDMInvoker
from vadrel_inference.dm_invoker.lm_based_dm_invoker import LMBasedDMInvoker as LMBasedDMInvoker

__all__ = ["BaseDMInvoker", "LMBasedDMInvoker", "build_dm_invoker"]
