"""The package data loader: reading by relative name, its two logged failures, everything else unchanged."""

import gc
import logging
import os
import warnings

import pytest
import yaml

from vadrel_core.utils import LoggerManager
from vadrel_guardrail import config_loader
from vadrel_guardrail.config_loader import load_yaml_config

LOGGER = "vadrel_guardrail.config_loader"
PACKAGED_CONFIG = os.path.join(os.path.dirname(config_loader.__file__), "config")


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    """A package directory of its own: the loader composes its paths from the module's file."""
    package = tmp_path / "vadrel_guardrail"
    (package / "config").mkdir(parents=True)
    monkeypatch.setattr(config_loader, "__file__", str(package / "config_loader.py"))
    return package / "config"


def loader_records(caplog):
    return [r for r in caplog.records if r.name == LOGGER]


@pytest.fixture
def no_leaked_files():
    """Fails the test when a file object was left open (an unclosed file warns when collected)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        yield
        gc.collect()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


class TestModule:
    def test_module_state(self):
        assert isinstance(config_loader.manager, LoggerManager)
        assert config_loader.logger is logging.getLogger(LOGGER)
        assert callable(load_yaml_config)

    def test_data_directory_is_beside_the_module(self):
        # The loader and the nemo base configuration path agree on where the package data lives.
        from vadrel_guardrail.constants import NEMO_BASE_CONFIG_PATH

        assert os.path.dirname(NEMO_BASE_CONFIG_PATH) == PACKAGED_CONFIG


class TestReading:
    def test_packaged_defaults_load(self):
        content = load_yaml_config("safety/default_yaml/content_safety.yaml")
        assert isinstance(content, list) and content
        assert all(isinstance(item, dict) and isinstance(item["category"], str) for item in content)
        topic = load_yaml_config("safety/default_yaml/topic_safety.yaml")
        assert isinstance(topic, dict)
        for key, field in (("allowed_topic_items", "topic"), ("denied_topic_items", "topic")):
            assert topic[key] and all(isinstance(item[field], str) for item in topic[key])

    def test_documents_are_returned_as_parsed(self, data_dir, no_leaked_files):
        (data_dir / "deep" / "er").mkdir(parents=True)
        (data_dir / "deep" / "er" / "map.yaml").write_text("a: 1\nb: [x, y]\n", encoding="utf-8")
        (data_dir / "list.yaml").write_text("- one\n- two\n", encoding="utf-8")
        (data_dir / "scalar.yaml").write_text("just text\n", encoding="utf-8")
        (data_dir / "empty.yaml").write_text("", encoding="utf-8")
        (data_dir / "comments.yaml").write_text("# nothing here\n", encoding="utf-8")
        (data_dir / "utf8.yaml").write_text("name: Zoë — ✓\n", encoding="utf-8")

        assert load_yaml_config("deep/er/map.yaml") == {"a": 1, "b": ["x", "y"]}
        assert load_yaml_config("list.yaml") == ["one", "two"]
        assert load_yaml_config("scalar.yaml") == "just text"
        # No substitute for an empty document.
        assert load_yaml_config("empty.yaml") is None
        assert load_yaml_config("comments.yaml") is None
        assert load_yaml_config("utf8.yaml") == {"name": "Zoë — ✓"}

    def test_absolute_name_replaces_the_directory(self, tmp_path):
        path = tmp_path / "elsewhere.yaml"
        path.write_text("k: v\n", encoding="utf-8")
        assert load_yaml_config(str(path)) == {"k": "v"}

    def test_every_call_reads_the_file_again(self, data_dir):
        path = data_dir / "changing.yaml"
        path.write_text("v: 1\n", encoding="utf-8")
        assert load_yaml_config("changing.yaml") == {"v": 1}
        path.write_text("v: 2\n", encoding="utf-8")
        assert load_yaml_config("changing.yaml") == {"v": 2}


class TestFailures:
    def test_missing_file(self, data_dir, caplog):
        expected = "Configuration file not found at " + os.path.join(str(data_dir), "safety", "missing.yaml")
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(FileNotFoundError) as info:
                load_yaml_config("safety/missing.yaml")
        error = info.value
        assert type(error) is FileNotFoundError
        assert str(error) == expected and error.args == (expected,)
        assert type(error.__cause__) is FileNotFoundError and error.__cause__.filename.endswith("missing.yaml")
        assert error.__suppress_context__
        records = loader_records(caplog)
        assert [(r.levelno, r.getMessage()) for r in records] == [(logging.ERROR, expected)]
        assert records[0].exc_info is None

    def test_missing_packaged_file_names_the_full_path(self, caplog):
        with caplog.at_level(logging.ERROR, logger=LOGGER):
            with pytest.raises(FileNotFoundError, match="^Configuration file not found at "):
                load_yaml_config("no/such.yaml")
        assert caplog.messages == ["Configuration file not found at " + os.path.join(PACKAGED_CONFIG, "no", "such.yaml")]

    @pytest.mark.parametrize("text", [
        "a: [1, 2\n",                                  # unclosed flow sequence
        "a: b: c\n",                                   # mapping values not allowed here
        "key: \"unterminated\n",                       # scanner error
        "bell: \x07\n",                                # control character the reader refuses
        "!!python/object/apply:os.system ['true']\n",  # a tag that safe loading never constructs
    ])
    def test_invalid_yaml(self, data_dir, caplog, text, no_leaked_files):
        (data_dir / "bad.yaml").write_text(text, encoding="utf-8")
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(yaml.YAMLError) as info:
                load_yaml_config("bad.yaml")
        error = info.value
        cause = error.__cause__
        assert type(error) is yaml.YAMLError
        assert isinstance(cause, yaml.YAMLError) and type(cause) is not yaml.YAMLError
        expected = "Error parsing configuration YAML: " + str(cause)
        assert str(error) == expected and error.args == (expected,)
        records = loader_records(caplog)
        assert [(r.levelno, r.getMessage()) for r in records] == [(logging.ERROR, expected)]
        assert records[0].exc_info is None

    def test_cause_is_kept_when_the_caller_is_handling_another_error(self, data_dir):
        # The new error's context is the error it replaces, not whatever the caller is handling.
        try:
            raise KeyError("outer")
        except KeyError:
            with pytest.raises(FileNotFoundError) as info:
                load_yaml_config("absent.yaml")
        assert info.value.__context__ is info.value.__cause__
        assert isinstance(info.value.__cause__, FileNotFoundError)

    def test_other_errors_pass_unchanged_and_unlogged(self, data_dir, caplog, no_leaked_files):
        (data_dir / "a_directory.yaml").mkdir()
        (data_dir / "latin1.yaml").write_bytes("name: café\n".encode("latin-1"))
        (data_dir / "plain_file").write_text("x", encoding="utf-8")
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(IsADirectoryError) as is_dir:
                load_yaml_config("a_directory.yaml")
            with pytest.raises(UnicodeDecodeError) as undecodable:
                load_yaml_config("latin1.yaml")
            with pytest.raises(NotADirectoryError) as not_dir:
                load_yaml_config("plain_file/inner.yaml")
            # A name that cannot be joined fails before the guarded region.
            with pytest.raises(TypeError):
                load_yaml_config(None)
            with pytest.raises(TypeError):
                load_yaml_config(b"bytes.yaml")
        for info in (is_dir, undecodable, not_dir):
            assert info.value.__cause__ is None
        assert loader_records(caplog) == []

    @pytest.mark.skipif(os.geteuid() == 0, reason="file permissions do not bind the superuser")
    def test_unreadable_file_passes_unchanged(self, data_dir, caplog):
        path = data_dir / "secret.yaml"
        path.write_text("a: 1\n", encoding="utf-8")
        path.chmod(0)
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(PermissionError) as info:
                load_yaml_config("secret.yaml")
        assert info.value.__cause__ is None
        assert loader_records(caplog) == []
