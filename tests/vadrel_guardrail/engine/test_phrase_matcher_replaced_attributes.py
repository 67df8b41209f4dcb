"""What a phrase check reads through an attribute (`banned_phrases`, `banned_phrases_regex`, and the result factories
`GuardrailResult.safe` and `GuardrailResult.unsafe`) follows Python's attribute protocol when user code replaces it on
the engine's class, on a base class or on the instance: the native engine answers as a Python engine of the same
behaviour does, and so do the manager's safe verdicts."""

import asyncio
import copy
import pickle
import re
import subprocess
import sys

import pytest
from vadrel_guardrail_testing import fast_path_holds

from vadrel_guardrail import GuardrailManager, GuardrailResult
from vadrel_guardrail.engine.base_engine import BaseGuardrailEngineConfig, GuardrailEngine
from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine
from vadrel_guardrail.schema import GuardrailStreamChunk

PREFIX = "Content contains banned phrases: "

# One banned phrase at most per text: with several, the order of the reason is not defined.
TEXTS = ["", "How to HACK a bank", "tell me how to make a bomb", "a hackathon", "bake bread", "Credit card fraud"]


class PythonPhraseEngine(GuardrailEngine):
    """The regular-expression road of the phrase engine, in Python."""

    DEFAULT_BANNED_PHRASES = list(PhraseMatcherEngine.DEFAULT_BANNED_PHRASES)

    def __init__(self, banned_phrases=None):
        self.config = BaseGuardrailEngineConfig()
        self.banned_phrases = banned_phrases if banned_phrases is not None else self.DEFAULT_BANNED_PHRASES
        self.use_spacy = False
        self.model_name = "en_core_web_sm"
        self.banned_phrases_regex = None
        self.phrase_matcher = None
        self.nlp = None
        if self.banned_phrases:
            self._compile_banned_phrases_regex()

    def _compile_banned_phrases_regex(self):
        escaped = [re.escape(phrase.lower()) for phrase in self.banned_phrases]
        self.banned_phrases_regex = re.compile(r"\b(" + "|".join(escaped) + r")\b", re.IGNORECASE)

    async def check_input(self, content, **kwargs):
        return await self._check_content(content, **kwargs)

    async def check_output(self, content, **kwargs):
        return await self._check_content(content, **kwargs)

    async def _check_content(self, content, **kwargs):
        if not content or not self.banned_phrases:
            return GuardrailResult.safe()
        if self.use_spacy and self.phrase_matcher and self.nlp:
            raise AssertionError("no spaCy road here")
        return self._check_banned_phrases_regex(content)

    def _check_banned_phrases_regex(self, content):
        if not self.banned_phrases_regex:
            return GuardrailResult.safe()
        matches = self.banned_phrases_regex.findall(content.lower())
        if not matches:
            return GuardrailResult.safe()
        detected = []
        for matched in set(matches):
            for phrase in self.banned_phrases:
                if phrase.lower() == matched:
                    detected.append(phrase)
                    break
        return GuardrailResult.unsafe(PREFIX + ", ".join(detected))


def verdicts(engine, direction="check_input"):
    async def go():
        return [(await getattr(engine, direction)(content=text)).to_dict() for text in TEXTS]

    return asyncio.run(go())


def assert_same(native, python):
    for direction in ("check_input", "check_output"):
        assert verdicts(native, direction) == verdicts(python, direction)


def on_class(name, value):
    """Sets `name` on both engine classes."""

    def apply(monkeypatch, native, python):
        monkeypatch.setattr(PhraseMatcherEngine, name, value, raising=False)
        monkeypatch.setattr(PythonPhraseEngine, name, value, raising=False)

    return apply


def on_base(name, value):
    """Sets `name` on the engine interface, the base of both."""

    def apply(monkeypatch, native, python):
        monkeypatch.setattr(GuardrailEngine, name, value, raising=False)

    return apply


def on_instance(name, value):
    def apply(monkeypatch, native, python):
        setattr(native, name, value)
        setattr(python, name, value)

    return apply


REPLACEMENTS = {
    "no phrases through a class property": on_class("banned_phrases", property(lambda self: [])),
    "other phrases through a class property": on_class("banned_phrases", property(lambda self: ["Make A Bomb"])),
    "no pattern through a class property": on_class("banned_phrases_regex", property(lambda self: None)),
    "another pattern through a class property": on_class(
        "banned_phrases_regex", property(lambda self: re.compile(r"\b(hack|credit card fraud)\b", re.IGNORECASE))),
    "no phrases through a property of the base": on_base("banned_phrases", property(lambda self: [])),
    "no pattern through a property of the base": on_base("banned_phrases_regex", property(lambda self: None)),
    "other phrases on the instance": on_instance("banned_phrases", ["HOW TO HACK"]),
    "no pattern on the instance": on_instance("banned_phrases_regex", None),
}


@pytest.mark.own_process
@pytest.mark.parametrize("replace", REPLACEMENTS.values(), ids=REPLACEMENTS.keys())
def test_a_replaced_attribute_is_read_as_python_reads_it(monkeypatch, replace):
    native, python = PhraseMatcherEngine(use_spacy=False), PythonPhraseEngine()
    assert_same(native, python)
    replace(monkeypatch, native, python)
    assert_same(native, python)
    monkeypatch.undo()
    assert_same(native, python)


@pytest.mark.own_process
def test_a_property_that_fails_fails_the_check(monkeypatch):
    def broken(self):
        raise LookupError("no phrases today")

    engine = PhraseMatcherEngine(use_spacy=False)
    monkeypatch.setattr(PhraseMatcherEngine, "banned_phrases", property(broken), raising=False)
    with pytest.raises(LookupError, match="no phrases today"):
        asyncio.run(engine.check_input("how to hack"))


def replaced_safe(cls, filtered_content=None, score=None):
    return cls(is_safe=True, reason="replaced safe", filtered_content=filtered_content, score=score)


def replaced_unsafe(cls, reason, filtered_content=None, category=None, policy=None, score=None):
    return cls(is_safe=False, reason="replaced: " + reason, filtered_content=filtered_content, category="replaced",
               policy=policy, score=score)


FACTORIES = {
    "safe": {"safe": classmethod(replaced_safe)},
    "unsafe": {"unsafe": classmethod(replaced_unsafe)},
    "both": {"safe": classmethod(replaced_safe), "unsafe": classmethod(replaced_unsafe)},
}


@pytest.mark.own_process
@pytest.mark.parametrize("factories", FACTORIES.values(), ids=FACTORIES.keys())
def test_replaced_result_factories_make_the_engine_verdicts(monkeypatch, factories):
    native, python = PhraseMatcherEngine(use_spacy=False), PythonPhraseEngine()
    for name, factory in factories.items():
        monkeypatch.setattr(GuardrailResult, name, factory)
    assert_same(native, python)
    expected = {"safe": "replaced safe", "unsafe": "replaced: " + PREFIX + "how to hack"}
    got = {"safe": verdicts(native)[4]["reason"], "unsafe": verdicts(native)[1]["reason"]}
    for name in factories:
        assert got[name] == expected[name]


@pytest.mark.own_process
def test_a_result_factory_that_checks_with_another_engine_on_the_same_thread(monkeypatch):
    other, nested = PhraseMatcherEngine(banned_phrases=["élan", "bake bread"], use_spacy=False), []

    def unsafe(cls, reason, **kwargs):
        if len(nested) % 2 == 0:
            nested.append(None)
            nested.append(other._check_banned_phrases_regex("un élan vital").reason)
        return replaced_unsafe(cls, reason, **kwargs)

    monkeypatch.setattr(GuardrailResult, "unsafe", classmethod(unsafe))
    assert_same(PhraseMatcherEngine(use_spacy=False), PythonPhraseEngine())
    assert set(nested[1::2]) == {"replaced: " + PREFIX + "élan"}


class Scored(GuardrailEngine):
    """An engine whose verdict is safe, with a filtered content and a score."""

    def __init__(self):
        self.config = BaseGuardrailEngineConfig()

    async def check_input(self, content, **kwargs):
        return GuardrailResult(is_safe=True, filtered_content=content.upper(), score=0.25, category="kept?")

    async def check_output(self, content, **kwargs):
        return await self.check_input(content, **kwargs)


@pytest.mark.own_process
def test_a_replaced_safe_factory_makes_the_managers_safe_verdicts(monkeypatch):
    monkeypatch.setattr(GuardrailResult, "safe", classmethod(replaced_safe))

    async def go():
        merged = await GuardrailManager([Scored(), PhraseMatcherEngine(use_spacy=False)]).check_content("bake bread")
        disabled = PhraseMatcherEngine(config=BaseGuardrailEngineConfig(guardrail_mode="disabled"))
        nothing_ran = await GuardrailManager(disabled).check_content("bake bread")
        empty = await GuardrailManager(disabled).check_content("")
        return merged, nothing_ran, empty

    merged, nothing_ran, empty = asyncio.run(go())
    # The merge of the two safe verdicts: the latest filtered content that is set, the latest engine's score.
    assert merged.to_dict() == {"is_safe": True, "reason": "replaced safe", "filtered_content": "BAKE BREAD"}
    assert nothing_ran.to_dict() == empty.to_dict() == {"is_safe": True, "reason": "replaced safe",
                                                         "filtered_content": None}


def test_changes_are_honoured_under_bases_out_of_version_tags():
    subprocess.run([sys.executable, "-c", """
import asyncio, typing, pydantic
for i in range(1100):  # each change, then look-up, takes one of the 1,000 version tags CPython 3.13 gives a class
    for base in (typing.Protocol, pydantic.BaseModel):
        base.changed = i
        base.changed
from vadrel_guardrail import GuardrailResult, PhraseMatcherEngine
engine = PhraseMatcherEngine(use_spacy=False)
PhraseMatcherEngine.banned_phrases = property(lambda self: [])
assert asyncio.run(engine.check_input("how to hack")).is_safe
del PhraseMatcherEngine.banned_phrases
GuardrailResult.unsafe = classmethod(lambda cls, reason, **kwargs: cls(is_safe=False, reason="replaced"))
assert asyncio.run(engine.check_input("how to hack")).reason == "replaced"
"""], check=True, timeout=120)


def test_copying_or_pickling_leaves_the_fast_paths_on():
    for item in PhraseMatcherEngine(), GuardrailResult.unsafe("x"), GuardrailStreamChunk(chunk="a", is_safe=True):
        pickle.loads(pickle.dumps(copy.deepcopy(item)))
        assert fast_path_holds(type(item).__name__)
