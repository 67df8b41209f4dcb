from typing import Any

__all__ = ["Component"]

class Component:
    async def run(self, **kwargs: Any) -> Any: ...
