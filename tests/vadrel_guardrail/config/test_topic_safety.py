"""The topic-safety builder: modes, allowed and denied lists, filters, defaults and the final text."""

import logging

import pydantic
import pytest
import yaml

from vadrel_guardrail.config.safety import topic
from vadrel_guardrail.config.safety.base import BaseSafetyConfigBuilder
from vadrel_guardrail.config.safety.topic import TopicSafetyConfigBuilder, TopicSafetyItem
from vadrel_guardrail.config_loader import load_yaml_config
from vadrel_guardrail.constants import TopicSafetyMode

ALLOWED_EMPTY = "allowed_topic_items cannot be an empty list. Set to None to use defaults."
DENIED_EMPTY = "denied_topic_items cannot be an empty list. Set to None to use defaults."
DISABLED = "TopicSafetyMode.DISABLED is not supported in the new configuration path."


def items(*topics):
    return [TopicSafetyItem(topic=t) for t in topics]


def deny_block(categories, examples):
    return (f"<BEGIN DENYLIST TOPIC>\n\n# Categories:\n{categories}\n\n# Examples:\n{examples}\n\n"
            "<END DENYLIST TOPIC>")


def allow_block(categories, examples):
    return (f"<BEGIN ALLOWLIST TOPIC>\n\n# Categories:\n{categories}\n\n# Examples:\n{examples}\n\n"
            "<END ALLOWLIST TOPIC>")


def state(builder):
    return (builder.topic_safety_mode, builder.to_dict(), builder.allowlist_topic, builder.denylist_topic,
            builder.get_string())


COOKING = TopicSafetyItem(topic="Cooking", description="Recipes and techniques", examples=["How do I bake bread?"])
POLITICS = TopicSafetyItem(topic="Politics", examples=["Who should I vote for?"])
WORKED_DENY = deny_block("[DT0] Politics\n", "[DT0] Who should I vote for?")
WORKED_ALLOW = allow_block("[AT0] Cooking: Recipes and techniques\n", "[AT0] How do I bake bread?")

SMALL_FILE = """
allowed_topic_items:
  - topic: A1
    examples: [shared]
  - topic: A2
denied_topic_items:
  - topic: D1
    description: bad
    examples: [shared, other]
"""


class TestItemAndClass:
    def test_item(self):
        assert list(TopicSafetyItem.model_fields) == ["topic", "description", "examples"]
        item = TopicSafetyItem.model_validate({"topic": "T", "extra": 1})
        assert item.model_dump() == {"topic": "T", "description": None, "examples": None} and item.label == "T"
        for bad in ({}, {"topic": 1}, {"topic": "T", "examples": [1]}):
            with pytest.raises(pydantic.ValidationError):
                TopicSafetyItem(**bad)

    def test_constants_and_members(self):
        assert issubclass(TopicSafetyConfigBuilder, BaseSafetyConfigBuilder)
        assert not issubclass(TopicSafetyConfigBuilder, pydantic.BaseModel)
        cls = TopicSafetyConfigBuilder
        assert cls.DEFAULT_TOPIC_SAFETY_FILE == "safety/default_yaml/topic_safety.yaml"
        assert (cls.ALLOWED_TOPIC_PREFIX, cls.DENIED_TOPIC_PREFIX) == ("AT", "DT")
        assert cls.TOPIC_ALLOWLIST_TOPIC_TEMPLATE == allow_block("{allowlist_topic}", "{allowlist_topic_examples}")
        assert cls.TOPIC_DENYLIST_TOPIC_TEMPLATE == deny_block("{denylist_topic}", "{denylist_topic_examples}")
        own = [n for n in vars(cls) if (not n.startswith("__") or n == "__init__") and n != "_abc_impl"]
        assert own == ["DEFAULT_TOPIC_SAFETY_FILE", "ALLOWED_TOPIC_PREFIX", "DENIED_TOPIC_PREFIX",
                            "TOPIC_ALLOWLIST_TOPIC_TEMPLATE", "TOPIC_DENYLIST_TOPIC_TEMPLATE", "__init__",
                            "with_defaults", "to_dict", "_load_default_items", "_validate_items",
                            "_assign_filtered_items", "_preformat_strings", "_build_get_string", "get_string"]
        kinds = {name: type(vars(cls)[name]) for name in ("with_defaults", "_load_default_items", "_validate_items")}
        assert kinds == {"with_defaults": classmethod, "_load_default_items": classmethod,
                         "_validate_items": staticmethod}
        assert list(vars(cls())) == [
            "topic_safety_mode", "allowed_topic_items", "denied_topic_items", "allowlist_topic", "denylist_topic",
            "_allowed_categories_string", "_allowed_examples_string", "_denied_categories_string",
            "_denied_examples_string", "_pre_formatted_get_string"]


class TestPackagedDefaults:
    def test_no_arguments(self):
        document = load_yaml_config(TopicSafetyConfigBuilder.DEFAULT_TOPIC_SAFETY_FILE)
        builder = TopicSafetyConfigBuilder()
        assert builder.topic_safety_mode is TopicSafetyMode.HYBRID
        assert builder.allowlist_topic == [e["topic"] for e in document["allowed_topic_items"]]
        assert builder.denylist_topic == [e["topic"] for e in document["denied_topic_items"]]
        assert builder.to_dict() == {
            key: [TopicSafetyItem(**e).model_dump() for e in document[key]]
            for key in ("allowed_topic_items", "denied_topic_items")}
        result = builder.get_string()
        assert result.startswith("<BEGIN DENYLIST TOPIC>\n\n# Categories:\n[DT0] ")
        assert "<END DENYLIST TOPIC>\n<BEGIN ALLOWLIST TOPIC>\n\n# Categories:\n[AT0] " in result
        assert result.endswith("\n\n<END ALLOWLIST TOPIC>")
        assert set(builder.allowlist_topic).isdisjoint(builder.denylist_topic)


class TestModes:
    def test_worked_example_in_each_mode(self):
        def build(mode):
            return TopicSafetyConfigBuilder(topic_safety_mode=mode, allowed_topic_items=[COOKING],
                                            denied_topic_items=[POLITICS]).get_string()

        assert build(None) == build(TopicSafetyMode.HYBRID) == WORKED_DENY + "\n" + WORKED_ALLOW
        assert build(TopicSafetyMode.ALLOWLIST) == build("allowlist") == WORKED_ALLOW
        assert build(TopicSafetyMode.DENYLIST) == build("denylist") == WORKED_DENY

    def test_mode_is_stored_as_given(self):
        builder = TopicSafetyConfigBuilder("allowlist", allowed_topic_items=items("A"), denied_topic_items=items("D"))
        assert builder.topic_safety_mode == "allowlist" and type(builder.topic_safety_mode) is str
        assert TopicSafetyConfigBuilder(TopicSafetyMode.DENYLIST, allowed_topic_items=items("A"),
                                        denied_topic_items=items("D")).topic_safety_mode is TopicSafetyMode.DENYLIST

    @pytest.mark.parametrize("mode", [TopicSafetyMode.DISABLED, "disabled"])
    def test_disabled_is_refused_before_any_file_is_read(self, data_dir, mode):
        with pytest.raises(ValueError) as info:
            TopicSafetyConfigBuilder(topic_safety_mode=mode)  # the test's data directory is empty
        assert str(info.value) == DISABLED

    @pytest.mark.parametrize("mode", ["bogus", "ALLOWLIST", "", 0, False])
    def test_invalid_modes_are_refused_by_validation(self, data_dir, mode):
        with pytest.raises(ValueError, match="Invalid TopicSafetyMode value"):
            TopicSafetyConfigBuilder(topic_safety_mode=mode)

    def test_validation_is_called_only_for_a_given_mode(self, monkeypatch):
        calls = []
        monkeypatch.setattr(topic, "validate_enum", lambda *args, **kwargs: calls.append((args, kwargs)) or "ignored")
        kept = {"allowed_topic_items": items("A"), "denied_topic_items": items("D")}
        TopicSafetyConfigBuilder(**kept)
        assert calls == []
        builder = TopicSafetyConfigBuilder("denylist", **kept)
        assert calls == [((TopicSafetyMode, "denylist"), {})]
        assert builder.topic_safety_mode == "denylist"  # its result is not used

    def test_validation_errors_pass_unchanged(self, monkeypatch, data_dir):
        class Refused(Exception):
            pass

        def refuse(enum_cls, value):
            raise Refused(value)

        monkeypatch.setattr(topic, "validate_enum", refuse)
        with pytest.raises(Refused):
            TopicSafetyConfigBuilder(TopicSafetyMode.HYBRID)


class TestLists:
    def test_empty_lists_are_refused_allowed_first(self, data_dir):
        with pytest.raises(ValueError) as both:
            TopicSafetyConfigBuilder(allowed_topic_items=[], denied_topic_items=[])
        assert str(both.value) == ALLOWED_EMPTY
        with pytest.raises(ValueError) as denied:
            TopicSafetyConfigBuilder(allowed_topic_items=items("A"), denied_topic_items=[])
        assert str(denied.value) == DENIED_EMPTY
        # Checked whatever the mode, before filtering.
        with pytest.raises(ValueError, match="^denied_topic_items cannot"):
            TopicSafetyConfigBuilder(TopicSafetyMode.ALLOWLIST, allowed_topic_items=items("A"), denied_topic_items=[])

    def test_both_lists_given_read_no_file(self, data_dir):
        builder = TopicSafetyConfigBuilder(allowed_topic_items=items("A"), denied_topic_items=items("D"))
        assert (builder.allowlist_topic, builder.denylist_topic) == (["A"], ["D"])
        with pytest.raises(FileNotFoundError):
            TopicSafetyConfigBuilder(allowed_topic_items=items("A"))

    def test_one_list_from_the_file(self, data_dir):
        data_dir.write("topic_safety.yaml", SMALL_FILE)
        builder = TopicSafetyConfigBuilder(denied_topic_items=items("Mine"))
        assert (builder.allowlist_topic, builder.denylist_topic) == (["A1", "A2"], ["Mine"])
        builder = TopicSafetyConfigBuilder(allowed_topic_items=items("Mine"))
        assert (builder.allowlist_topic, builder.denylist_topic) == (["Mine"], ["D1"])

    def test_file_without_denied_key(self, data_dir):
        data_dir.write("topic_safety.yaml", "allowed_topic_items:\n  - topic: A\n")
        with pytest.raises(ValueError) as info:
            TopicSafetyConfigBuilder()
        assert str(info.value) == DENIED_EMPTY
        assert TopicSafetyConfigBuilder(denied_topic_items=items("D")).denylist_topic == ["D"]
        with pytest.raises(ValueError, match="^denied_topic_items cannot"):
            TopicSafetyConfigBuilder.with_defaults()

    def test_empty_allow_filter(self):
        builder = TopicSafetyConfigBuilder(allowlist_topic=[], allowed_topic_items=[COOKING],
                                           denied_topic_items=[POLITICS])
        assert builder.allowlist_topic == [] and builder.allowed_topic_items == []
        assert builder.to_dict()["allowed_topic_items"] == []
        assert builder.get_string() == WORKED_DENY

    def test_deny_filter_naming_nothing(self):
        builder = TopicSafetyConfigBuilder(TopicSafetyMode.DENYLIST, denylist_topic=["politics", "Nothing"],
                                           allowed_topic_items=[COOKING], denied_topic_items=[POLITICS])
        assert builder.denylist_topic == [] and builder.get_string() == ""

    def test_filters_keep_item_order_and_renumber(self):
        builder = TopicSafetyConfigBuilder(allowlist_topic=["C", "A"], denylist_topic=("Y",),
                                           allowed_topic_items=items("A", "B", "C", "a"),
                                           denied_topic_items=items("X", "Y", "Y"))
        assert (builder.allowlist_topic, builder.denylist_topic) == (["A", "C"], ["Y", "Y"])
        assert builder._allowed_categories_string == "[AT0] A\n[AT1] C\n"
        assert builder._denied_categories_string == "[DT0] Y\n[DT1] Y\n"
        assert builder.get_string() == deny_block("[DT0] Y\n[DT1] Y\n", "") + "\n" + allow_block(
            "[AT0] A\n[AT1] C\n", "")

    def test_a_single_text_is_not_a_filter(self):
        for keyword in ("allowlist_topic", "denylist_topic"):
            with pytest.raises(TypeError, match=keyword):
                TopicSafetyConfigBuilder(allowed_topic_items=items("A"), denied_topic_items=items("D"),
                                         **{keyword: "A D"})

    def test_other_list_still_resolved_in_single_list_modes(self):
        builder = TopicSafetyConfigBuilder(TopicSafetyMode.ALLOWLIST, denylist_topic=["D2"],
                                           allowed_topic_items=items("A"), denied_topic_items=items("D1", "D2"))
        assert builder.denylist_topic == ["D2"] and builder._denied_categories_string == "[DT0] D2\n"
        assert builder.to_dict()["denied_topic_items"] == [{"topic": "D2", "description": None, "examples": None}]
        assert "DENYLIST" not in builder.get_string()

    def test_blocks_without_examples(self):
        result = TopicSafetyConfigBuilder(allowed_topic_items=items("A"), denied_topic_items=items("D")).get_string()
        assert "# Examples:\n\n\n<END DENYLIST TOPIC>\n<BEGIN ALLOWLIST TOPIC>" in result
        assert result.endswith("# Examples:\n\n\n<END ALLOWLIST TOPIC>")

    def test_braces_are_inserted_verbatim(self):
        odd = TopicSafetyItem(topic="{allowlist_topic}", description="{denylist_topic_examples}", examples=["{0}"])
        result = TopicSafetyConfigBuilder(TopicSafetyMode.ALLOWLIST, allowed_topic_items=[odd],
                                          denied_topic_items=items("D")).get_string()
        assert result == allow_block("[AT0] {allowlist_topic}: {denylist_topic_examples}\n", "[AT0] {0}")

    def test_the_builder_does_not_follow_the_callers_lists(self):
        allowed, denied = items("A"), items("D")
        builder = TopicSafetyConfigBuilder(allowed_topic_items=allowed, denied_topic_items=denied)
        allowed.append(TopicSafetyItem(topic="Late"))
        denied.clear()
        assert builder.to_dict() == {"allowed_topic_items": [{"topic": "A", "description": None, "examples": None}],
                                     "denied_topic_items": [{"topic": "D", "description": None, "examples": None}]}

    def test_text_is_built_once(self):
        builder = TopicSafetyConfigBuilder(allowed_topic_items=[COOKING], denied_topic_items=[POLITICS])
        first = builder.get_string()
        builder.TOPIC_DENYLIST_TOPIC_TEMPLATE = "changed"
        assert builder.get_string() == first == WORKED_DENY + "\n" + WORKED_ALLOW
        assert not first.endswith("\n")

    def test_derived_prefixes_and_templates(self):
        class Mine(TopicSafetyConfigBuilder):
            ALLOWED_TOPIC_PREFIX = "OK"
            DENIED_TOPIC_PREFIX = "NO"
            TOPIC_ALLOWLIST_TOPIC_TEMPLATE = "allow:{allowlist_topic}{allowlist_topic_examples}"

        result = Mine(allowed_topic_items=items("A"), denied_topic_items=items("D")).get_string()
        assert result == deny_block("[NO0] D\n", "") + "\nallow:[OK0] A\n"

    def test_nothing_is_logged(self, caplog):
        with caplog.at_level(logging.DEBUG):
            TopicSafetyConfigBuilder(allowed_topic_items=items("A"), denied_topic_items=items("D")).get_string()
        assert caplog.records == []


class TestFile:
    @pytest.mark.parametrize("document, error", [
        ("", AttributeError),                              # no document: no mapping to look keys up in
        ("- topic: A\n", AttributeError),                  # a list, not a mapping
        ("allowed_topic_items: text\n", TypeError),        # elements that are not mappings
        ("allowed_topic_items:\n", TypeError),             # a key with no value
        ("allowed_topic_items: [{description: x}]\n", pydantic.ValidationError),
    ])
    def test_malformed_document(self, data_dir, document, error):
        data_dir.write("topic_safety.yaml", document)
        with pytest.raises(error):
            TopicSafetyConfigBuilder()
        with pytest.raises(error):
            TopicSafetyConfigBuilder.with_defaults()

    def test_missing_and_unparsable_files(self, data_dir):
        for build in (TopicSafetyConfigBuilder, TopicSafetyConfigBuilder.with_defaults):
            with pytest.raises(FileNotFoundError, match="^Configuration file not found at .*topic_safety.yaml$"):
                build()
        data_dir.write("topic_safety.yaml", "allowed_topic_items: [\n")
        for build in (TopicSafetyConfigBuilder, TopicSafetyConfigBuilder.with_defaults):
            with pytest.raises(yaml.YAMLError, match="^Error parsing configuration YAML: "):
                build()


class TestWithDefaults:
    def test_no_items_means_the_defaults(self, data_dir):
        data_dir.write("topic_safety.yaml", SMALL_FILE)
        expected = state(TopicSafetyConfigBuilder())
        assert expected[-1] == (deny_block("[DT0] D1: bad\n", "[DT0] shared\n[DT0] other") + "\n"
                                + allow_block("[AT0] A1\n[AT1] A2\n", "[AT0] shared"))
        assert state(TopicSafetyConfigBuilder.with_defaults()) == expected
        assert state(TopicSafetyConfigBuilder.with_defaults(allowed_topic_items=None, denied_topic_items=[])) == expected
        assert state(TopicSafetyConfigBuilder.with_defaults(allowed_topic_items=[], denied_topic_items=None)) == expected

    def test_caller_items_follow_the_defaults(self, data_dir):
        data_dir.write("topic_safety.yaml", SMALL_FILE)
        allowed = [TopicSafetyItem(topic="Mine", examples=["shared"])]
        builder = TopicSafetyConfigBuilder.with_defaults(allowed_topic_items=allowed, denied_topic_items=items("D1"))
        assert builder.allowlist_topic == ["A1", "A2", "Mine"] and builder.denylist_topic == ["D1", "D1"]
        assert builder._allowed_categories_string == "[AT0] A1\n[AT1] A2\n[AT2] Mine\n"
        assert builder._allowed_examples_string == "[AT0, AT2] shared"
        assert [i.topic for i in allowed] == ["Mine"]

    def test_filters_apply_to_the_combined_lists(self, data_dir):
        data_dir.write("topic_safety.yaml", SMALL_FILE)
        builder = TopicSafetyConfigBuilder.with_defaults(topic_safety_mode="allowlist", allowlist_topic=["Mine", "A2"],
                                                         allowed_topic_items=items("Mine"))
        assert builder.allowlist_topic == ["A2", "Mine"] and builder.topic_safety_mode == "allowlist"
        assert builder.get_string() == allow_block("[AT0] A2\n[AT1] Mine\n", "")

    def test_reads_the_file_once_per_call(self, monkeypatch):
        calls = []

        def fake(name):
            calls.append(name)
            return {"allowed_topic_items": [{"topic": "FA"}], "denied_topic_items": [{"topic": "FD"}]}

        monkeypatch.setattr(topic, "load_yaml_config", fake)
        builder = TopicSafetyConfigBuilder.with_defaults(allowed_topic_items=items("A"), denied_topic_items=items("D"))
        assert (builder.allowlist_topic, builder.denylist_topic) == (["FA", "A"], ["FD", "D"])
        assert calls == ["safety/default_yaml/topic_safety.yaml"]
        TopicSafetyConfigBuilder()
        assert len(calls) == 2

    def test_arguments(self, data_dir):
        data_dir.write("topic_safety.yaml", SMALL_FILE)
        with pytest.raises(TypeError):
            TopicSafetyConfigBuilder.with_defaults("hybrid")
        with pytest.raises(TypeError, match="unknown"):
            TopicSafetyConfigBuilder.with_defaults(unknown=1)
        with pytest.raises(TypeError):
            TopicSafetyConfigBuilder.with_defaults(denied_topic_items=(TopicSafetyItem(topic="T"),))
        built = type("Derived", (TopicSafetyConfigBuilder,), {}).with_defaults()
        assert type(built).__name__ == "Derived"
