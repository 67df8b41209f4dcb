"""Safety items, the abstract builder base and the shared item formatter."""

import inspect
import typing
from types import SimpleNamespace

import pytest

from vadrel_guardrail.config.safety import base
from vadrel_guardrail.config.safety.base import BaseSafetyConfigBuilder, SafetyItem
from vadrel_guardrail.config.safety.content import ContentSafetyItem
from vadrel_guardrail.config.safety.topic import TopicSafetyItem

fmt = BaseSafetyConfigBuilder._get_formatted_items


def item(label, description=None, examples=None):
    """Any object with the three members serves; no derivation from SafetyItem."""
    return SimpleNamespace(label=label, description=description, examples=examples)


class TestFormatter:
    def test_worked_example(self):
        items = [
            item("Violence", "Violence and Physical Harm", ["e1", "e2"]),
            item("Weapons", None, ["e2", "e3", "e2"]),
            item("Hate", "", None),
        ]
        assert fmt(items, "S") == (
            "[S0] Violence: Violence and Physical Harm\n[S1] Weapons\n[S2] Hate\n",
            "[S0] e1\n[S0, S1, S1] e2\n[S1] e3",
        )

    def test_no_items(self):
        assert fmt(None, "S") == ("", "")
        assert fmt([], "S") == ("", "")

    def test_items_without_examples(self):
        categories, examples = fmt([item("A", "a"), item("B", examples=[])], "DT")
        assert categories == "[DT0] A: a\n[DT1] B\n"
        assert examples == ""

    def test_item_without_examples_still_takes_its_code(self):
        _, examples = fmt([item("A", examples=["x"]), item("B", examples=[]), item("C"), item("D", examples=["y"])],
                          "AT")
        assert examples == "[AT0] x\n[AT3] y"

    def test_shared_and_repeated_examples(self):
        items = [item("A", examples=["same", "Same", " same", "mine", "mine"]), item("B", examples=["same"])]
        _, examples = fmt(items, "S")
        # Exact keys: case and surrounding spaces make different examples; repeats keep every code.
        assert examples.split("\n") == ["[S0, S1] same", "[S0] Same", "[S0]  same", "[S0, S0] mine"]

    def test_codes_have_no_leading_zeros(self):
        categories, _ = fmt([item(f"L{i}") for i in range(12)], "S")
        lines = categories.split("\n")
        assert lines[9:] == ["[S9] L9", "[S10] L10", "[S11] L11", ""]

    def test_texts_are_inserted_as_they_are(self):
        items = [
            item("Spaces", "   "),
            item("Two lines", "first\nsecond"),
            item("{safety_category}", "{0} {} {{x}}", ["", "{allowlist_topic}"]),
        ]
        categories, examples = fmt(items, "S")
        assert categories == "[S0] Spaces:    \n[S1] Two lines: first\nsecond\n[S2] {safety_category}: {0} {} {{x}}\n"
        assert examples == "[S2] \n[S2] {allowlist_topic}"
        assert categories.endswith("\n") and not examples.endswith("\n")

    def test_reads_items_without_changing_them_and_keeps_nothing(self):
        items = [ContentSafetyItem(category="A", examples=["x", "x"]), TopicSafetyItem(topic="B", examples=["x"])]
        dumped = [i.model_dump() for i in items]
        first = fmt(items, "S")
        assert fmt(items, "S") == first == ("[S0] A\n[S1] B\n", "[S0, S0, S1] x")
        assert [i.model_dump() for i in items] == dumped
        assert fmt(iter(items), "Q") == ("[Q0] A\n[Q1] B\n", "[Q0, Q0, Q1] x")

    def test_failures_reach_the_caller(self):
        with pytest.raises(AttributeError):
            fmt([SimpleNamespace(description=None, examples=None)], "S")
        with pytest.raises(AttributeError):
            fmt([SimpleNamespace(label="A", examples=None)], "S")
        with pytest.raises(TypeError):
            fmt(42, "S")
        with pytest.raises(TypeError):
            fmt([item("A", examples=[["unhashable"]])], "S")


class TestAbstractBase:
    def test_cannot_be_instantiated(self):
        assert inspect.isabstract(BaseSafetyConfigBuilder)
        assert BaseSafetyConfigBuilder.__abstractmethods__ == {"get_string", "to_dict", "with_defaults"}
        with pytest.raises(TypeError, match="abstract"):
            BaseSafetyConfigBuilder()

    def test_operations_in_order(self):
        own = [name for name in vars(BaseSafetyConfigBuilder) if not name.startswith("__") and name != "_abc_impl"]
        assert own == ["get_string", "to_dict", "with_defaults", "_get_formatted_items"]
        assert isinstance(vars(BaseSafetyConfigBuilder)["_get_formatted_items"], staticmethod)
        assert isinstance(vars(BaseSafetyConfigBuilder)["with_defaults"], classmethod)

    @pytest.mark.parametrize("missing", ["get_string", "to_dict", "with_defaults"])
    def test_a_builder_lacking_one_operation_cannot_be_instantiated(self, missing):
        namespace = {
            "get_string": lambda self: "",
            "to_dict": lambda self: {},
            "with_defaults": classmethod(lambda cls, **kwargs: cls()),
        }
        del namespace[missing]
        partial = type("Partial", (BaseSafetyConfigBuilder,), namespace)
        assert partial.__abstractmethods__ == {missing}
        with pytest.raises(TypeError, match=missing):
            partial()

    def test_a_complete_builder_works_and_the_base_bodies_refuse(self):
        class Complete(BaseSafetyConfigBuilder):
            def get_string(self):
                return super().get_string()

            def to_dict(self):
                return {"n": 1}

            @classmethod
            def with_defaults(cls, **kwargs):
                return cls()

        builder = Complete.with_defaults()
        assert isinstance(builder, BaseSafetyConfigBuilder) and builder.to_dict() == {"n": 1}
        with pytest.raises(NotImplementedError):
            builder.get_string()
        with pytest.raises(NotImplementedError, match="with_defaults"):
            BaseSafetyConfigBuilder.with_defaults()

    def test_result_type_parameter(self):
        assert isinstance(base.T, typing.TypeVar)
        assert base.T.__bound__ is BaseSafetyConfigBuilder


class TestSafetyItem:
    def test_structural_interface(self):
        assert typing.is_protocol(SafetyItem)
        assert typing.get_protocol_members(SafetyItem) == {"label", "description", "examples"}
        assert isinstance(inspect.getattr_static(SafetyItem, "label"), property)
        # Nothing tests objects against it at run time, and the item types do not derive from it.
        with pytest.raises(TypeError):
            isinstance(item("x"), SafetyItem)
        assert SafetyItem not in ContentSafetyItem.__mro__ and SafetyItem not in TopicSafetyItem.__mro__

    def test_item_types_have_its_shape(self):
        content = ContentSafetyItem(category="C", description="d", examples=["e"])
        topic = TopicSafetyItem(topic="T")
        assert (content.label, content.description, content.examples) == ("C", "d", ["e"])
        assert (topic.label, topic.description, topic.examples) == ("T", None, None)
        for item_type in (ContentSafetyItem, TopicSafetyItem):
            assert isinstance(inspect.getattr_static(item_type, "label"), property)
