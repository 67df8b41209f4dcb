"""The content-safety builder: items, filtering, codes, defaults and its template."""

import logging

import pydantic
import pytest
import yaml

from vadrel_guardrail.config.safety import content
from vadrel_guardrail.config.safety.base import BaseSafetyConfigBuilder
from vadrel_guardrail.config.safety.content import ContentSafetyConfigBuilder, ContentSafetyItem
from vadrel_guardrail.config_loader import load_yaml_config

EMPTY_LIST = "safety_items cannot be an empty list. Set to None to use defaults."


def items(*categories):
    return [ContentSafetyItem(category=c) for c in categories]


def text(categories, examples):
    return f"<BEGIN SAFETY CODE>\n\n# Categories:\n{categories}\n\n# Examples:\n{examples}\n\n<END SAFETY CODE>"


def state(builder):
    return builder.to_dict(), builder.enabled_categories, builder.get_string()


SMALL_FILE = """
- category: A
  description: first
  examples: [x]
- category: B
- category: C
  examples: [x, y]
"""


class TestItem:
    def test_fields_and_label(self):
        assert list(ContentSafetyItem.model_fields) == ["category", "description", "examples"]
        item = ContentSafetyItem(category="Hate")
        assert (item.category, item.description, item.examples, item.label) == ("Hate", None, None, "Hate")
        with pytest.raises(AttributeError):
            item.label = "other"

    def test_validation(self):
        assert ContentSafetyItem.model_validate({"category": "A", "other": 1}).model_dump() == {
            "category": "A", "description": None, "examples": None}
        for bad in ({}, {"category": None}, {"category": "A", "examples": "x"}, {"category": "A", "description": 3}):
            with pytest.raises(pydantic.ValidationError):
                ContentSafetyItem(**bad)


class TestClass:
    def test_constants_and_members(self):
        assert issubclass(ContentSafetyConfigBuilder, BaseSafetyConfigBuilder)
        assert not issubclass(ContentSafetyConfigBuilder, pydantic.BaseModel)
        assert ContentSafetyConfigBuilder.DEFAULT_CONTENT_SAFETY_FILE == "safety/default_yaml/content_safety.yaml"
        assert ContentSafetyConfigBuilder.CONTENT_SAFETY_TEMPLATE == (
            "<BEGIN SAFETY CODE>\n\n# Categories:\n{safety_category}\n\n# Examples:\n{safety_category_examples}"
            "\n\n<END SAFETY CODE>")
        own = [n for n in vars(ContentSafetyConfigBuilder)
               if (not n.startswith("__") or n == "__init__") and n != "_abc_impl"]
        assert own == ["DEFAULT_CONTENT_SAFETY_FILE", "CONTENT_SAFETY_TEMPLATE", "__init__", "with_defaults",
                           "to_dict", "get_string"]
        assert isinstance(vars(ContentSafetyConfigBuilder)["with_defaults"], classmethod)
        assert list(vars(ContentSafetyConfigBuilder())) == ["safety_items", "enabled_categories",
                                                             "_categories_string", "_examples_string"]


class TestPackagedDefaults:
    def test_no_arguments_hold_the_packaged_items_in_file_order(self):
        document = load_yaml_config(ContentSafetyConfigBuilder.DEFAULT_CONTENT_SAFETY_FILE)
        builder = ContentSafetyConfigBuilder()
        assert [i.model_dump() for i in builder.safety_items] == [ContentSafetyItem(**e).model_dump() for e in document]
        assert builder.enabled_categories == [e["category"] for e in document]
        result = builder.get_string()
        assert result.startswith("<BEGIN SAFETY CODE>\n\n# Categories:\n[S0] ")
        assert result.endswith("\n\n<END SAFETY CODE>")
        for code, entry in enumerate(document):
            assert f"[S{code}] {entry['category']}" in result

    def test_the_defaults_cover_the_core_harms(self):
        categories = " ".join(ContentSafetyConfigBuilder().enabled_categories).lower()
        for harm in ("violence", "self-harm", "minors", "hate", "weapons", "criminal", "privacy"):
            assert harm in categories
        # Every default has a description and distinct categories.
        builder = ContentSafetyConfigBuilder()
        assert all(i.description for i in builder.safety_items)
        assert len(set(builder.enabled_categories)) == len(builder.enabled_categories)


class TestConstructor:
    def test_two_items_exact_text(self):
        builder = ContentSafetyConfigBuilder(safety_items=[
            ContentSafetyItem(category="A", description="D", examples=["x", "y"]),
            ContentSafetyItem(category="B", examples=["y", "z"]),
        ])
        expected = text("[S0] A: D\n[S1] B\n", "[S0] x\n[S0, S1] y\n[S1] z")
        assert builder.get_string() == expected
        assert builder.get_string() == expected  # filled again, same text
        assert not builder.get_string().endswith("\n")

    def test_empty_list_is_refused_and_none_means_defaults(self, data_dir):
        with pytest.raises(ValueError) as info:
            ContentSafetyConfigBuilder(safety_items=[])
        assert str(info.value) == EMPTY_LIST
        data_dir.write("content_safety.yaml", SMALL_FILE)
        assert ContentSafetyConfigBuilder(safety_items=None).enabled_categories == ["A", "B", "C"]

    def test_given_items_read_no_file(self, data_dir):
        builder = ContentSafetyConfigBuilder(safety_items=items("A"))  # the test's data directory is empty
        assert builder.enabled_categories == ["A"]
        with pytest.raises(FileNotFoundError):
            ContentSafetyConfigBuilder()

    def test_empty_filter_retains_nothing(self):
        builder = ContentSafetyConfigBuilder(enabled_categories=[], safety_items=items("A", "B"))
        assert builder.safety_items == [] and builder.enabled_categories == []
        assert builder.get_string() == ""
        assert builder.to_dict() == {"safety_items": []}

    def test_filter_keeps_item_order_and_renumbers(self):
        builder = ContentSafetyConfigBuilder(enabled_categories=["C", "A", "nobody", "a"],
                                             safety_items=items("A", "B", "C"))
        assert builder.enabled_categories == ["A", "C"]
        assert builder.get_string() == text("[S0] A\n[S1] C\n", "")

    def test_filter_is_exact(self):
        builder = ContentSafetyConfigBuilder(enabled_categories=["hate", "Hate ", "Hat"], safety_items=items("Hate"))
        assert builder.enabled_categories == [] and builder.get_string() == ""

    def test_duplicate_categories_and_duplicate_names(self):
        builder = ContentSafetyConfigBuilder(enabled_categories=["A", "A"], safety_items=items("A", "B", "A"))
        assert builder.enabled_categories == ["A", "A"]
        assert builder._categories_string == "[S0] A\n[S1] A\n"

    def test_filter_accepts_any_collection_of_names(self):
        given = items("A", "B", "C")
        for names in (("C", "A"), {"A", "C"}, iter(["A", "C"]), (n for n in ["C", "A"]), [["unhashable"], "A", "C"]):
            assert ContentSafetyConfigBuilder(enabled_categories=names, safety_items=given).enabled_categories == [
                "A", "C"]

    def test_a_single_text_is_not_a_filter(self):
        # `in` on a text would match substrings: "Violence and Hate" would retain "Hate" and "Violence".
        with pytest.raises(TypeError, match="enabled_categories"):
            ContentSafetyConfigBuilder(enabled_categories="Violence and Hate", safety_items=items("Hate", "Violence"))

    def test_items_without_examples(self):
        result = ContentSafetyConfigBuilder(safety_items=items("A")).get_string()
        assert result.endswith("# Examples:\n\n\n<END SAFETY CODE>")
        assert result == "<BEGIN SAFETY CODE>\n\n# Categories:\n[S0] A\n\n\n# Examples:\n\n\n<END SAFETY CODE>"

    def test_braces_are_inserted_verbatim(self):
        given = [ContentSafetyItem(category="{safety_category}", description="{safety_category_examples} {0} {}",
                                   examples=["{", "}}"])]
        result = ContentSafetyConfigBuilder(safety_items=given).get_string()
        assert result == text("[S0] {safety_category}: {safety_category_examples} {0} {}\n", "[S0] {\n[S0] }}")

    def test_to_dict(self):
        builder = ContentSafetyConfigBuilder(safety_items=[ContentSafetyItem(category="A"),
                                                           ContentSafetyItem(category="B", description="d",
                                                                             examples=["e"])])
        result = builder.to_dict()
        assert result == {"safety_items": [{"category": "A", "description": None, "examples": None},
                                           {"category": "B", "description": "d", "examples": ["e"]}]}
        assert list(result["safety_items"][0]) == ["category", "description", "examples"]
        result["safety_items"][1]["examples"].append("changed")
        assert builder.to_dict()["safety_items"][1]["examples"] == ["e"]

    def test_the_builder_does_not_follow_the_callers_list(self):
        given = items("A", "B")
        builder = ContentSafetyConfigBuilder(safety_items=given)
        given.append(ContentSafetyItem(category="C"))
        given.pop(0)
        assert builder.enabled_categories == ["A", "B"]
        assert [d["category"] for d in builder.to_dict()["safety_items"]] == ["A", "B"]

    def test_items_must_be_content_items(self):
        with pytest.raises(AttributeError):
            ContentSafetyConfigBuilder(safety_items=[{"category": "A"}])

    def test_template_is_filled_at_each_call(self):
        builder = ContentSafetyConfigBuilder(safety_items=items("A"))
        builder.CONTENT_SAFETY_TEMPLATE = "{safety_category}|{safety_category_examples}"
        assert builder.get_string() == "[S0] A\n|"

    def test_nothing_is_logged(self, caplog):
        with caplog.at_level(logging.DEBUG):
            ContentSafetyConfigBuilder(enabled_categories=[], safety_items=items("A")).get_string()
        assert caplog.records == []


class TestDefaultFile:
    def test_empty_sequence(self, data_dir):
        data_dir.write("content_safety.yaml", "[]\n")
        builder = ContentSafetyConfigBuilder()
        assert builder.safety_items == [] and builder.get_string() == ""
        with pytest.raises(ValueError, match="^safety_items cannot be an empty list"):
            ContentSafetyConfigBuilder.with_defaults()

    @pytest.mark.parametrize("document, error", [
        ("", TypeError),                          # no document at all
        ("category: A\n", TypeError),             # a mapping, not a sequence
        ("- just text\n", TypeError),             # an element that is not a mapping
        ("- {1: A}\n", TypeError),                # keys that are not texts
        ("- description: no category\n", pydantic.ValidationError),
    ])
    def test_malformed_document(self, data_dir, document, error):
        data_dir.write("content_safety.yaml", document)
        with pytest.raises(error):
            ContentSafetyConfigBuilder()
        with pytest.raises(error):
            ContentSafetyConfigBuilder.with_defaults()

    def test_missing_and_unparsable_files(self, data_dir):
        for build in (ContentSafetyConfigBuilder, ContentSafetyConfigBuilder.with_defaults):
            with pytest.raises(FileNotFoundError, match="^Configuration file not found at .*content_safety.yaml$"):
                build()
        data_dir.write("content_safety.yaml", "- [unclosed\n")
        for build in (ContentSafetyConfigBuilder, ContentSafetyConfigBuilder.with_defaults):
            with pytest.raises(yaml.YAMLError, match="^Error parsing configuration YAML: "):
                build()

    def test_derived_builder_names_its_own_file(self, data_dir):
        data_dir.write("mine.yaml", "- category: Mine\n")

        class Mine(ContentSafetyConfigBuilder):
            DEFAULT_CONTENT_SAFETY_FILE = "safety/default_yaml/mine.yaml"
            CONTENT_SAFETY_TEMPLATE = "<{safety_category}>"

        assert Mine().get_string() == "<[S0] Mine\n>"
        built = Mine.with_defaults()
        assert type(built) is Mine and built.enabled_categories == ["Mine"]


class TestWithDefaults:
    def test_no_items_means_the_defaults(self, data_dir):
        data_dir.write("content_safety.yaml", SMALL_FILE)
        expected = state(ContentSafetyConfigBuilder())
        assert state(ContentSafetyConfigBuilder.with_defaults()) == expected
        assert state(ContentSafetyConfigBuilder.with_defaults(safety_items=None)) == expected
        assert state(ContentSafetyConfigBuilder.with_defaults(safety_items=[])) == expected

    def test_caller_items_follow_the_defaults(self, data_dir):
        data_dir.write("content_safety.yaml", SMALL_FILE)
        given = [ContentSafetyItem(category="A", description="first", examples=["x"]), ContentSafetyItem(category="D")]
        builder = ContentSafetyConfigBuilder.with_defaults(safety_items=given)
        assert builder.enabled_categories == ["A", "B", "C", "A", "D"]
        assert builder._categories_string.endswith("[S3] A: first\n[S4] D\n")
        assert builder._examples_string == "[S0, S2, S3] x\n[S2] y"
        assert [i.category for i in given] == ["A", "D"]  # the caller's list is left as it was

    def test_filter_applies_to_the_combined_list(self, data_dir):
        data_dir.write("content_safety.yaml", SMALL_FILE)
        builder = ContentSafetyConfigBuilder.with_defaults(enabled_categories=["D", "B"], safety_items=items("D"))
        assert builder.enabled_categories == ["B", "D"]
        assert builder._categories_string == "[S0] B\n[S1] D\n"

    def test_reads_the_file_at_each_call(self, data_dir):
        data_dir.write("content_safety.yaml", "- category: First\n")
        assert ContentSafetyConfigBuilder.with_defaults().enabled_categories == ["First"]
        data_dir.write("content_safety.yaml", "- category: Second\n")
        assert ContentSafetyConfigBuilder.with_defaults().enabled_categories == ["Second"]

    def test_arguments(self, data_dir):
        data_dir.write("content_safety.yaml", SMALL_FILE)
        with pytest.raises(TypeError):
            ContentSafetyConfigBuilder.with_defaults(["A"])  # keywords only
        with pytest.raises(TypeError) as raised:
            ContentSafetyConfigBuilder.with_defaults(unknown=1)  # passed on: the constructor refuses it
        assert str(raised.value) == "ContentSafetyConfigBuilder.__init__() got an unexpected keyword argument 'unknown'"
        with pytest.raises(TypeError):
            ContentSafetyConfigBuilder.with_defaults(safety_items=(ContentSafetyItem(category="T"),))

    def test_the_loader_is_the_modules_own(self, monkeypatch):
        calls = []

        def fake(name):
            calls.append(name)
            return [{"category": "Fake"}]

        monkeypatch.setattr(content, "load_yaml_config", fake)
        assert ContentSafetyConfigBuilder().enabled_categories == ["Fake"]
        assert ContentSafetyConfigBuilder.with_defaults(safety_items=items("Own")).enabled_categories == ["Fake", "Own"]
        assert calls == ["safety/default_yaml/content_safety.yaml"] * 2
