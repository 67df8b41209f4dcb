__all__ = ["BaseInvokerError", "InvokerRuntimeError"]

class BaseInvokerError(Exception):
    class_name: str
    message: str
    def __init__(self, class_name: str, message: str = "") -> None: ...

class InvokerRuntimeError(BaseInvokerError): ...
