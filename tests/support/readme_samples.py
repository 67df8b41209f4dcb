"""The README's Python samples, in the order the README shows them."""

import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def python_samples() -> list[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
