import pytest

from vadrel_guardrail import config_loader


class DataDir:
    """A package data directory of the test's own, with the builders' default file names."""

    def __init__(self, root):
        self.root = root
        self.default_yaml = root / "safety" / "default_yaml"
        self.default_yaml.mkdir(parents=True)

    def write(self, name, text):
        (self.default_yaml / name).write_text(text, encoding="utf-8")


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    # The loader composes its paths from the module's file at each call.
    package = tmp_path / "vadrel_guardrail"
    package.mkdir()
    monkeypatch.setattr(config_loader, "__file__", str(package / "config_loader.py"))
    return DataDir(package / "config")
