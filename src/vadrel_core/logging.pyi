from vadrel_core.utils import LoggerManager as LoggerManager

__all__ = ["LoggerManager"]
