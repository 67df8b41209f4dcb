"""Decision-model engine: configuration models, policy loading and state rendering."""

import importlib.resources
import textwrap

import pydantic
import pytest
import yaml

from vadrel_guardrail.constants import GuardrailMode
from vadrel_guardrail.engine import dm_engine
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig
from vadrel_guardrail.engine.dm_engine import (
    DMGuardrailEngine,
    DMGuardrailEngineConfig,
    DMPolicyConfig,
    DMQuestionConfig,
    _format_template,
)

load = DMGuardrailEngine._load_policies

ENTRY = {"category": "C", "reason": "R", "question": {"instructions": "Is it bad?"}}


def write(tmp_path, text, name="policies.yaml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return str(path)


class TestModuleObjects:
    def test_constants(self):
        assert dm_engine.DEFAULT_DM_MODEL_ID == "openrouter/brevano/olk-1.13"
        assert dm_engine.DEFAULT_DM_THRESHOLD == 0.5 and isinstance(dm_engine.DEFAULT_DM_THRESHOLD, float)
        assert dm_engine.DEFAULT_STATE_TEMPLATE == {"content": "{content}"}
        assert dm_engine.BUNDLED_POLICY_PACKAGE == "vadrel_guardrail.config"
        assert dm_engine.BUNDLED_POLICY_FILE == "dm_policies.yaml"

    def test_load_order_of_module_objects(self):
        names = [n for n in vars(dm_engine) if not n.startswith("__")]
        expected = ["manager", "logger", "DEFAULT_DM_MODEL_ID", "DEFAULT_DM_THRESHOLD", "DEFAULT_STATE_TEMPLATE",
                    "BUNDLED_POLICY_PACKAGE", "BUNDLED_POLICY_FILE", "DMQuestionConfig", "DMPolicyConfig",
                    "DMGuardrailEngineConfig", "DMGuardrailEngine", "_format_template"]
        assert [n for n in names if n in expected] == expected

    def test_logger_is_named_after_the_module(self):
        assert dm_engine.logger.name == "vadrel_guardrail.engine.dm_engine"
        assert type(dm_engine.manager).__name__ == "LoggerManager"

    def test_classes_belong_to_the_module(self):
        for cls in (DMQuestionConfig, DMPolicyConfig, DMGuardrailEngineConfig, DMGuardrailEngine):
            assert cls.__module__ == "vadrel_guardrail.engine.dm_engine"


class TestModels:
    def test_engine_config_defaults(self):
        config = DMGuardrailEngineConfig()
        assert isinstance(config, BaseGuardrailEngineConfig)
        assert config.guardrail_mode == GuardrailMode.INPUT_ONLY
        assert config.policy_config_path is None and config.policies is None
        assert config.default_threshold == 0.5 and config.state_template is None
        assert list(DMGuardrailEngineConfig.model_fields) == [
            "guardrail_mode", "policy_config_path", "policies", "default_threshold", "state_template"]

    def test_field_order_of_policy_and_question(self):
        assert list(DMPolicyConfig.model_fields) == ["category", "reason", "threshold", "question"]
        assert list(DMQuestionConfig.model_fields) == ["instructions", "criteria"]

    def test_threshold_bounds_are_inclusive(self):
        for value in (0.0, 1.0, 0, 1):
            assert DMPolicyConfig(category="c", reason="r", threshold=value, question=ENTRY["question"]).threshold == value
            assert DMGuardrailEngineConfig(default_threshold=value).default_threshold == value
        for value in (1.01, -0.01, float("nan"), "high"):
            with pytest.raises(pydantic.ValidationError):
                DMPolicyConfig(category="c", reason="r", threshold=value, question=ENTRY["question"])
            with pytest.raises(pydantic.ValidationError):
                DMGuardrailEngineConfig(default_threshold=value)

    def test_criteria_keys(self):
        assert DMQuestionConfig(instructions="q").criteria is None
        assert DMQuestionConfig(instructions="q", criteria={}).criteria == {}
        assert DMQuestionConfig(instructions="q", criteria={"true": "a"}).criteria == {"true": "a"}
        both = {"true": "a", "false": "b"}
        assert DMQuestionConfig(instructions="q", criteria=both).criteria == both
        for bad in ({True: "a"}, {"maybe": "a"}, {"true": "a", "other": "b"}):
            with pytest.raises(pydantic.ValidationError):
                DMQuestionConfig(instructions="q", criteria=bad)

    def test_required_fields_and_ignored_keys(self):
        with pytest.raises(pydantic.ValidationError):
            DMPolicyConfig(category="c", question=ENTRY["question"])
        with pytest.raises(pydantic.ValidationError):
            DMQuestionConfig()
        policy = DMPolicyConfig.model_validate({**ENTRY, "description": "ignored"})
        assert not hasattr(policy, "description") and policy.threshold is None

    def test_in_memory_policies_are_validated_when_the_config_is_built(self):
        config = DMGuardrailEngineConfig(policies={"p": ENTRY})
        assert isinstance(config.policies["p"], DMPolicyConfig)
        with pytest.raises(pydantic.ValidationError):
            DMGuardrailEngineConfig(policies={"p": {**ENTRY, "threshold": 2}})
        with pytest.raises(pydantic.ValidationError):
            DMGuardrailEngineConfig(state_template=["not", "a", "mapping"])
        with pytest.raises(pydantic.ValidationError):
            DMGuardrailEngineConfig(state_template={1: "x"})


class TestLoadPolicies:
    def test_in_memory_policies_win_and_are_returned_as_is(self, tmp_path):
        config = DMGuardrailEngineConfig(policies={"b": ENTRY, "a": ENTRY},
                                         policy_config_path=str(tmp_path / "missing.yaml"))
        policies = load(config)
        assert policies is config.policies
        assert list(policies) == ["b", "a"]

    def test_empty_in_memory_policies_open_no_file(self, tmp_path):
        config = DMGuardrailEngineConfig(policies={}, policy_config_path=str(tmp_path / "missing.yaml"))
        assert load(config) == {}

    def test_file_in_order_with_defaults_and_ignored_keys(self, tmp_path):
        path = write(tmp_path, """\
            version: 3
            policies:
              zeta:
                category: Z
                reason: zeta reason
                threshold: 0.0
                description: ignored
                question:
                  instructions: Is it zeta?
                  criteria:
                    "true": yes it is
              alpha:
                category: A
                reason: alpha reason
                threshold: null
                question:
                  instructions: Is it alpha?
                  criteria:
                    "false": no it is not
              omega:
                category: O
                reason: omega reason
                threshold: 1.0
                question:
                  instructions: Is it omega?
            """)
        policies = load(DMGuardrailEngineConfig(policy_config_path=path))
        assert list(policies) == ["zeta", "alpha", "omega"]
        assert all(isinstance(p, DMPolicyConfig) for p in policies.values())
        assert policies["zeta"].threshold == 0.0 and policies["zeta"].question.criteria == {"true": "yes it is"}
        assert policies["alpha"].threshold is None and policies["alpha"].question.criteria == {"false": "no it is not"}
        assert policies["omega"].threshold == 1.0 and policies["omega"].question.criteria is None

    @pytest.mark.parametrize("text", ["", "- a\n- b\n", "just text\n", "other: 1\n", "policies: {}\n"])
    def test_documents_without_policies(self, tmp_path, text):
        assert load(DMGuardrailEngineConfig(policy_config_path=write(tmp_path, text))) == {}

    @pytest.mark.parametrize("text, type_name", [
        ("policies:\n", "NoneType"),
        ("policies: [a, b]\n", "list"),
        ("policies: text\n", "str"),
        ("policies: 3\n", "int"),
    ])
    def test_policies_not_a_mapping(self, tmp_path, text, type_name):
        path = write(tmp_path, text)
        with pytest.raises(ValueError) as info:
            load(DMGuardrailEngineConfig(policy_config_path=path))
        assert str(info.value) == f"Policy YAML at {path!r} must contain a 'policies' mapping, got {type_name}"
        assert not isinstance(info.value, pydantic.ValidationError)

    def test_message_quotes_a_path_holding_a_single_quote(self, tmp_path):
        path = write(tmp_path, "policies: []\n", name="it's.yaml")
        with pytest.raises(ValueError) as info:
            load(DMGuardrailEngineConfig(policy_config_path=path))
        assert str(info.value) == f'Policy YAML at "{path}" must contain a \'policies\' mapping, got list'

    def test_packaged_source_is_named_in_the_message(self, monkeypatch, tmp_path):
        bad = tmp_path / "dm_policies.yaml"
        bad.write_text("policies: [x]\n", encoding="utf-8")
        real_files = importlib.resources.files

        def files(package):
            assert package == "vadrel_guardrail.config"
            return tmp_path if package == "vadrel_guardrail.config" else real_files(package)

        monkeypatch.setattr(importlib.resources, "files", files)
        with pytest.raises(ValueError) as info:
            load(DMGuardrailEngineConfig())
        assert str(info.value) == ("Policy YAML at 'vadrel_guardrail.config/dm_policies.yaml' must contain a "
                                   "'policies' mapping, got list")

    @pytest.mark.parametrize("entry", [
        "just text",
        "{category: C, question: {instructions: q}}",
        "{category: C, reason: R, threshold: 1.01, question: {instructions: q}}",
        "{category: C, reason: R, threshold: -0.01, question: {instructions: q}}",
        "{category: C, reason: R, question: {instructions: q, criteria: {true: a}}}",
        "{category: C, reason: R, question: {instructions: q, criteria: {'true': a, 'maybe': b}}}",
        "{category: C, reason: R, question: {instructions: [q]}}",
    ])
    def test_invalid_entries_fail_validation(self, tmp_path, entry):
        path = write(tmp_path, f"policies:\n  good: {{category: C, reason: R, question: {{instructions: q}}}}\n"
                               f"  bad: {entry}\n")
        with pytest.raises(pydantic.ValidationError):
            load(DMGuardrailEngineConfig(policy_config_path=path))

    @pytest.mark.parametrize("key", ["1", "null", "true"])
    def test_policy_names_must_be_text(self, tmp_path, key):
        path = write(tmp_path, f"policies:\n  {key}: {{category: C, reason: R, question: {{instructions: q}}}}\n")
        with pytest.raises(ValueError, match="has a policy name that is not text"):
            load(DMGuardrailEngineConfig(policy_config_path=path))

    def test_file_errors_pass_unchanged(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            load(DMGuardrailEngineConfig(policy_config_path=str(tmp_path / "missing.yaml")))
        # An empty path is a path, not "unset": no fall-back to the packaged file.
        with pytest.raises(FileNotFoundError):
            load(DMGuardrailEngineConfig(policy_config_path=""))
        with pytest.raises(yaml.YAMLError):
            load(DMGuardrailEngineConfig(policy_config_path=write(tmp_path, "policies: {a: [\n")))
        with pytest.raises(yaml.YAMLError):
            load(DMGuardrailEngineConfig(policy_config_path=write(tmp_path, "policies: {}\n---\npolicies: {}\n")))
        raw = tmp_path / "latin1.yaml"
        raw.write_bytes("policies: {}\n# caf\xe9\n".encode("latin-1"))
        with pytest.raises(UnicodeDecodeError):
            load(DMGuardrailEngineConfig(policy_config_path=str(raw)))

    def test_file_is_closed_when_parsing_fails(self, tmp_path, monkeypatch):
        import builtins

        opened = []
        real_open = builtins.open

        def tracking_open(*args, **kwargs):
            handle = real_open(*args, **kwargs)
            opened.append((args, kwargs, handle))
            return handle

        monkeypatch.setattr(builtins, "open", tracking_open)
        path = write(tmp_path, "policies: [\n")
        with pytest.raises(yaml.YAMLError):
            load(DMGuardrailEngineConfig(policy_config_path=path))
        good = write(tmp_path, "policies: {}\n", name="good.yaml")
        load(DMGuardrailEngineConfig(policy_config_path=good))
        assert [(a, k) for a, k, _ in opened] == [((path,), {"encoding": "utf-8"}), ((good,), {"encoding": "utf-8"})]
        assert all(handle.closed for _, _, handle in opened)

    def test_packaged_file_is_read_at_every_load(self, monkeypatch, tmp_path):
        calls = []
        real_files = importlib.resources.files

        def files(package):
            calls.append(package)
            return real_files(package)

        monkeypatch.setattr(importlib.resources, "files", files)
        load(DMGuardrailEngineConfig())
        load(DMGuardrailEngineConfig())
        assert calls == ["vadrel_guardrail.config", "vadrel_guardrail.config"]


class TestPackagedPolicies:
    def test_packaged_file_follows_the_format(self):
        resource = importlib.resources.files("vadrel_guardrail.config").joinpath("dm_policies.yaml")
        with resource.open("r", encoding="utf-8") as handle:
            document = yaml.safe_load(handle)
        assert set(document) == {"policies"}
        policies = load(DMGuardrailEngineConfig())
        assert list(policies) == list(document["policies"])
        assert len(policies) >= 5
        for name, policy in policies.items():
            assert name.isidentifier()
            assert policy.category and policy.reason.endswith(".")
            assert policy.question.instructions.endswith("?")
            assert policy.question.criteria and set(policy.question.criteria) <= {"true", "false"}
            assert policy.threshold is None or 0.0 < policy.threshold <= 1.0


class TestFormatTemplate:
    def test_texts_at_any_depth(self):
        template = {
            "twice": "{content} and {content}",
            "other": "{other} {0} {} {{content}}",
            "{content}": "key stays",
            "tuple": ("{content}",),
            "nested": [{"a": "<{content}>"}, ["{content}"], 3, 1.5, True, None],
        }
        assert _format_template(template, "X") == {
            "twice": "X and X",
            "other": "{other} {0} {} {X}",
            "{content}": "key stays",
            "tuple": ("{content}",),
            "nested": [{"a": "<X>"}, ["X"], 3, 1.5, True, None],
        }

    def test_content_holding_the_placeholder_is_inserted_once(self):
        assert _format_template("[{content}]", "a {content} b") == "[a {content} b]"

    def test_template_is_never_changed_and_results_are_independent(self):
        inner = {"b": "{content}"}
        template = {"a": [inner], "t": (1,)}
        first = _format_template(template, "one")
        second = _format_template(template, "two")
        assert template == {"a": [{"b": "{content}"}], "t": (1,)}
        assert first == {"a": [{"b": "one"}], "t": (1,)} and second["a"][0]["b"] == "two"
        assert first["a"] is not template["a"] and first["a"][0] is not inner
        assert first["t"] is template["t"]
        marker = object()
        assert _format_template(marker, "x") is marker

    def test_content_that_is_not_text(self):
        with pytest.raises(TypeError):
            _format_template({"a": "{content}"}, 5)
        assert _format_template({"a": [1, None]}, 5) == {"a": [1, None]}

    def test_a_list_changed_while_it_is_rendered(self):
        class Clearing(dict):
            items = lambda self: template.clear() or []  # noqa: E731

        template = [Clearing(), "{content}", ["{content}"]]
        assert _format_template(template, "x") == [{}, "x", ["x"]]

    def test_a_template_that_contains_itself_fails_cleanly(self):
        loop = ["{content}"]
        loop.append(loop)
        with pytest.raises(RecursionError):
            _format_template({"loop": loop}, "x")

    def test_deep_nesting_within_the_recursion_limit_renders(self):
        deep = "{content}"
        for _ in range(200):
            deep = [{"k": deep}]
        rendered = _format_template(deep, "x")
        for _ in range(200):
            rendered = rendered[0]["k"]
        assert rendered == "x"
