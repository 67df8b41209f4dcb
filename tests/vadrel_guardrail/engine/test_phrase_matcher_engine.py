import _sre
import asyncio
import inspect
import logging
import os
import re
import subprocess
import sys
import textwrap
import threading
import types

import pytest
import spacy

from re._casefix import _EXTRA_CASES

from vadrel_guardrail.constants import GuardrailMode
from vadrel_guardrail.engine import phrase_matcher_engine as pme
from vadrel_guardrail.engine.base_engine import (
    BaseGuardrailEngineConfig,
    GuardrailEngine,
    GuardrailStreamBufferLimitError,
)
from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine
from vadrel_guardrail.schema import GuardrailResult, GuardrailStreamChunk

LOGGER = "vadrel_guardrail.engine.phrase_matcher_engine"
PREFIX = "Content contains banned phrases: "
DEFAULTS = [
    "kill yourself", "commit suicide", "end your life", "make a bomb", "how to hack", "steal money",
    "illegal drugs", "child porn", "child exploitation", "racial slur", "hate speech", "terrorist attack",
    "mass shooting", "torture methods", "human trafficking", "credit card fraud", "identity theft",
    "phishing scam", "malware creation", "ddos attack",
]


def run(coro):
    return asyncio.run(coro)


def records(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


@pytest.fixture(scope="module")
def blank_model_dir(tmp_path_factory):
    # The only model available offline: a real blank English pipeline saved to disk.
    path = tmp_path_factory.mktemp("blank_en")
    spacy.blank("en").to_disk(path)
    return str(path)


@pytest.fixture
def fresh_model_dir(tmp_path):
    # A model name that no engine has loaded yet, so that cache behaviour is observable.
    path = tmp_path / "model"
    spacy.blank("en").to_disk(path)
    return str(path)


@pytest.fixture
def count_loads(monkeypatch):
    calls = []
    real = spacy.load

    def load(name):
        calls.append((name, PhraseMatcherEngine._spacy_model_lock.locked()))
        return real(name)

    monkeypatch.setattr(pme, "spacy", types.SimpleNamespace(load=load))
    return calls


@pytest.fixture
def spacy_engine(blank_model_dir):
    return PhraseMatcherEngine(model_name=blank_model_dir)


@pytest.fixture
def regex_engine():
    return PhraseMatcherEngine(use_spacy=False)


class TestModule:
    def test_module_state(self):
        assert pme.SPACY_AVAILABLE is True
        assert pme.spacy is spacy
        assert pme.PhraseMatcher is spacy.matcher.PhraseMatcher
        assert pme.logger is logging.getLogger(LOGGER)
        assert type(pme.manager).__name__ == "LoggerManager"
        assert pme.re is re and pme.threading is threading
        assert pme.GuardrailResult is GuardrailResult and pme.GuardrailStreamChunk is GuardrailStreamChunk
        assert pme.DEFAULT_MAX_STREAM_BUFFER_BYTES == 1048576
        assert pme.DEFAULT_MAX_STREAM_BUFFER_CHUNKS == 10000

    def test_class_attributes(self):
        assert PhraseMatcherEngine.__bases__ == (GuardrailEngine,)
        assert PhraseMatcherEngine.__module__ == LOGGER
        assert PhraseMatcherEngine.DEFAULT_BANNED_PHRASES == DEFAULTS
        assert type(PhraseMatcherEngine.DEFAULT_BANNED_PHRASES) is list
        assert type(PhraseMatcherEngine._spacy_model_cache) is dict
        assert type(PhraseMatcherEngine._spacy_model_lock) is type(threading.Lock())
        assert PhraseMatcherEngine.requires_full_stream is True

    def test_definition_order(self):
        expected = [
            "_spacy_model_cache", "_spacy_model_lock", "DEFAULT_BANNED_PHRASES", "_initialize_matcher",
            "_get_or_load_spacy_model", "_initialize_spacy_matcher", "_compile_banned_phrases_regex",
            "check_input", "check_output", "requires_full_stream", "check_input_stream", "check_output_stream",
            "_check_content", "_check_banned_phrases_spacy", "_check_banned_phrases_regex",
        ]
        # The class machinery of Protocol adds its own private entries; the class's own come in this order.
        assert [n for n in vars(PhraseMatcherEngine) if n in expected] == expected
        assert isinstance(vars(PhraseMatcherEngine)["_get_or_load_spacy_model"], classmethod)

    def test_checks_are_coroutines_and_streams_are_not(self, regex_engine):
        coro = regex_engine.check_input("x")
        assert asyncio.iscoroutine(coro)
        assert coro.__name__ == "check_input"
        coro.close()
        stream = regex_engine.check_input_stream(None)
        assert not asyncio.iscoroutine(stream) and hasattr(stream, "__anext__")

    def test_is_an_engine(self, regex_engine):
        assert isinstance(regex_engine, GuardrailEngine)


def run_isolated(code):
    env = dict(os.environ, NEMO_GUARDRAILS_NO_USAGE_STATS="1", DO_NOT_TRACK="1")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                          timeout=120)


LOG_SETUP = """
import logging, sys
logging.basicConfig(stream=sys.stdout, level=logging.DEBUG, format="%(levelname)s|%(name)s|%(message)s")
"""


class TestWithoutSpacy:
    def test_probe_falls_back_and_engines_use_the_pattern(self):
        result = run_isolated(LOG_SETUP + """
import asyncio, re
sys.modules["spacy"] = None   # import spacy now raises an import error
from vadrel_guardrail.engine import phrase_matcher_engine as pme
E = pme.PhraseMatcherEngine
print("available", pme.SPACY_AVAILABLE, pme.PhraseMatcher, hasattr(pme, "spacy"))
e = E()
print("default", e.use_spacy, e.nlp, e.phrase_matcher, e.banned_phrases is E.DEFAULT_BANNED_PHRASES)
print("pattern", e.banned_phrases_regex.pattern == r"\\b(" + "|".join(re.escape(p) for p in E.DEFAULT_BANNED_PHRASES) + r")\\b")
print("flags", bool(e.banned_phrases_regex.flags & re.IGNORECASE))
forced = E(use_spacy=True)
print("forced", forced.use_spacy, forced.nlp, forced.phrase_matcher, forced.banned_phrases_regex is not None)
print("verdict", asyncio.run(e.check_input("How to HACK a bank")).reason)
""")
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        warnings = [l for l in lines if l.startswith("WARNING|")]
        assert warnings == [f"WARNING|{LOGGER}|SpaCy not available. Using regex-based phrase matching."]
        assert "available False None False" in lines
        assert "default False None None True" in lines
        assert "pattern True" in lines and "flags True" in lines
        assert "forced True None None True" in lines
        assert f"verdict {PREFIX}how to hack" in lines
        assert not [l for l in lines if l.startswith(("INFO|" + LOGGER, "ERROR|" + LOGGER))]

    def test_missing_phrase_matcher_name_counts_as_missing_spacy(self):
        result = run_isolated(LOG_SETUP + """
import types
fake = types.ModuleType("spacy"); fake.__path__ = []
sys.modules["spacy"] = fake
sys.modules["spacy.matcher"] = types.ModuleType("spacy.matcher")
from vadrel_guardrail.engine import phrase_matcher_engine as pme
print("state", pme.SPACY_AVAILABLE, pme.PhraseMatcher, pme.spacy is fake)
""")
        assert result.returncode == 0, result.stderr
        assert "state False None True" in result.stdout
        assert "SpaCy not available. Using regex-based phrase matching." in result.stdout

    def test_other_import_errors_stop_the_package(self):
        result = run_isolated("""
import sys
class Broken:
    def find_spec(self, name, path=None, target=None):
        if name == "spacy":
            raise RuntimeError("broken spacy install")
sys.meta_path.insert(0, Broken())
try:
    import vadrel_guardrail
except Exception as e:
    # The extension reports a failed initialisation as an import error caused by the original one.
    while e is not None and not isinstance(e, RuntimeError):
        e = e.__cause__ or e.__context__
    print("raised", e)
print("loaded", "vadrel_guardrail" in sys.modules)
""")
        assert result.returncode == 0, result.stderr
        assert "raised broken spacy install" in result.stdout
        assert "loaded False" in result.stdout


class TestConstruction:
    def test_default_construction_with_missing_default_model(self, caplog):
        # en_core_web_sm is not installed here: the spaCy set-up fails and the pattern takes over.
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        engine = PhraseMatcherEngine()
        assert isinstance(engine.config, BaseGuardrailEngineConfig)
        assert engine.config.guardrail_mode is GuardrailMode.INPUT_ONLY
        assert engine.banned_phrases is PhraseMatcherEngine.DEFAULT_BANNED_PHRASES
        assert engine.model_name == "en_core_web_sm"
        assert engine.use_spacy is False
        assert engine.nlp is None and engine.phrase_matcher is None
        assert engine.banned_phrases_regex.pattern == r"\b(" + "|".join(re.escape(p) for p in DEFAULTS) + r")\b"
        assert "en_core_web_sm" not in PhraseMatcherEngine._spacy_model_cache
        [(level, message)] = records(caplog)
        assert level == "ERROR"
        assert message.startswith("Error initializing SpaCy matcher: [E050] Can't find model 'en_core_web_sm'")
        assert message.endswith(". Falling back to regex.")

    def test_attribute_order_and_identity(self):
        config = BaseGuardrailEngineConfig(guardrail_mode="both")
        phrases = ["Credit Card Fraud"]
        engine = PhraseMatcherEngine(config, phrases, False, "some_model")
        assert list(vars(engine)) == ["config", "banned_phrases", "use_spacy", "model_name",
                                      "banned_phrases_regex", "phrase_matcher", "nlp"]
        assert engine.config is config and engine.banned_phrases is phrases
        assert phrases == ["Credit Card Fraud"]
        assert engine.banned_phrases_regex.pattern == r"\b(credit\ card\ fraud)\b"

    def test_spacy_path(self, fresh_model_dir, count_loads, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        engine = PhraseMatcherEngine(model_name=fresh_model_dir)
        assert engine.use_spacy is True
        assert engine.banned_phrases_regex is None
        assert PhraseMatcherEngine._spacy_model_cache[fresh_model_dir] is engine.nlp
        assert isinstance(engine.nlp, spacy.Language)
        assert isinstance(engine.phrase_matcher, spacy.matcher.PhraseMatcher)
        assert len(engine.phrase_matcher) == 20
        assert all(f"banned_phrase_{i}" in engine.phrase_matcher for i in range(20))
        assert records(caplog) == [
            ("INFO", f"Initialized SpaCy PhraseMatcher with 20 phrases using {fresh_model_dir}")]
        # The load ran once, under the lock.
        assert count_loads == [(fresh_model_dir, True)]

        second = PhraseMatcherEngine(model_name=fresh_model_dir)
        assert second.nlp is engine.nlp
        assert second.phrase_matcher is not engine.phrase_matcher
        assert len(count_loads) == 1

    @pytest.mark.own_process
    def test_cached_model_takes_no_lock(self, blank_model_dir, monkeypatch):
        PhraseMatcherEngine(model_name=blank_model_dir)

        class Refusing:
            def __enter__(self):
                raise AssertionError("lock taken for a cached model")

            def __exit__(self, *exc):
                return False

        monkeypatch.setattr(PhraseMatcherEngine, "_spacy_model_lock", Refusing())
        engine = PhraseMatcherEngine(model_name=blank_model_dir)
        assert engine.use_spacy is True and engine.phrase_matcher is not None

    def test_concurrent_first_loads_load_once(self, fresh_model_dir, monkeypatch):
        real = spacy.load
        loads = []
        entered = threading.Event()
        release = threading.Event()

        def load(name):
            loads.append(name)
            entered.set()
            release.wait(10)
            return real(name)

        monkeypatch.setattr(pme, "spacy", types.SimpleNamespace(load=load))
        engines = []
        first = threading.Thread(target=lambda: engines.append(PhraseMatcherEngine(model_name=fresh_model_dir)))
        first.start()
        assert entered.wait(10)
        # The second thread finds no cached model and waits on the lock while the first one loads.
        second = threading.Thread(target=lambda: engines.append(PhraseMatcherEngine(model_name=fresh_model_dir)))
        second.start()
        release.set()
        first.join(10)
        second.join(10)
        assert loads == [fresh_model_dir]
        assert len(engines) == 2 and engines[0].nlp is engines[1].nlp

    def test_failed_load_is_not_cached_and_releases_the_lock(self, tmp_path, caplog, count_loads):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        missing = str(tmp_path / "no_such_model")
        for _ in range(2):
            engine = PhraseMatcherEngine(model_name=missing)
            assert engine.use_spacy is False
            assert engine.nlp is None and engine.phrase_matcher is None
            assert engine.banned_phrases_regex is not None
        assert missing not in PhraseMatcherEngine._spacy_model_cache
        assert not PhraseMatcherEngine._spacy_model_lock.locked()
        assert len(count_loads) == 2
        logged = records(caplog)
        assert len(logged) == 2 and all(level == "ERROR" for level, _ in logged)
        assert all(msg.startswith("Error initializing SpaCy matcher: ") and missing in msg for _, msg in logged)

    def test_failure_after_load_keeps_what_was_built(self, blank_model_dir, monkeypatch, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)

        class HalfMatcher(spacy.matcher.PhraseMatcher):
            def add(self, key, docs, *args, **kwargs):
                if len(self) == 2:
                    raise ValueError("rule store full")
                return super().add(key, docs, *args, **kwargs)

        monkeypatch.setattr(pme, "PhraseMatcher", HalfMatcher)
        engine = PhraseMatcherEngine(model_name=blank_model_dir)
        assert engine.use_spacy is False
        assert engine.nlp is PhraseMatcherEngine._spacy_model_cache[blank_model_dir]
        assert isinstance(engine.phrase_matcher, HalfMatcher) and len(engine.phrase_matcher) == 2
        assert engine.banned_phrases_regex is not None
        assert records(caplog) == [("ERROR", "Error initializing SpaCy matcher: rule store full. Falling back to regex.")]

    def test_use_spacy_false_builds_the_pattern_only(self, count_loads):
        before = dict(PhraseMatcherEngine._spacy_model_cache)
        engine = PhraseMatcherEngine(use_spacy=False, model_name="never_loaded")
        assert engine.use_spacy is False
        assert engine.nlp is None and engine.phrase_matcher is None
        assert engine.banned_phrases_regex is not None
        assert PhraseMatcherEngine._spacy_model_cache == before
        assert count_loads == []

    def test_use_spacy_stored_unchanged(self):
        assert PhraseMatcherEngine(use_spacy=0).use_spacy == 0
        assert type(PhraseMatcherEngine(use_spacy=0).use_spacy) is int

    def test_use_spacy_follows_the_flag_at_construction(self, monkeypatch, count_loads, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        monkeypatch.setattr(pme, "SPACY_AVAILABLE", False)
        assert PhraseMatcherEngine().use_spacy is False
        forced = PhraseMatcherEngine(use_spacy=True)
        assert forced.use_spacy is True and forced.nlp is None and forced.banned_phrases_regex is not None
        assert count_loads == [] and records(caplog) == []

    @pytest.mark.parametrize("mode", [GuardrailMode.DISABLED, "disabled"])
    def test_disabled_builds_nothing(self, mode, count_loads, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        config = types.SimpleNamespace(guardrail_mode=mode)
        engine = PhraseMatcherEngine(config, ["make a bomb"], model_name="never_loaded")
        assert engine.nlp is None and engine.phrase_matcher is None and engine.banned_phrases_regex is None
        assert count_loads == [] and records(caplog) == []
        assert run(engine.check_input("make a bomb")) == GuardrailResult.safe()

    def test_empty_phrase_list_stays_empty(self, count_loads, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        phrases = []
        engine = PhraseMatcherEngine(banned_phrases=phrases, model_name="never_loaded")
        assert engine.banned_phrases is phrases
        assert engine.nlp is None and engine.phrase_matcher is None and engine.banned_phrases_regex is None
        assert count_loads == [] and records(caplog) == []
        engine._compile_banned_phrases_regex()
        assert engine.banned_phrases_regex is None

    def test_config_without_mode(self):
        with pytest.raises(AttributeError):
            PhraseMatcherEngine(object())

    def test_phrase_that_is_not_text(self, blank_model_dir, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        with pytest.raises(AttributeError):
            PhraseMatcherEngine(banned_phrases=["ok", 7], use_spacy=False)
        assert records(caplog) == []
        with pytest.raises(AttributeError):
            PhraseMatcherEngine(banned_phrases=["ok", 7], model_name=blank_model_dir)
        [(level, message)] = records(caplog)
        assert level == "ERROR" and message.startswith("Error initializing SpaCy matcher: ")

    def test_duplicates_give_separate_rules_and_alternatives(self, blank_model_dir, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        engine = PhraseMatcherEngine(banned_phrases=["hate", "hate"], model_name=blank_model_dir)
        assert len(engine.phrase_matcher) == 2
        assert records(caplog) == [("INFO", f"Initialized SpaCy PhraseMatcher with 2 phrases using {blank_model_dir}")]
        regex = PhraseMatcherEngine(banned_phrases=["hate", "hate"], use_spacy=False)
        assert regex.banned_phrases_regex.pattern == r"\b(hate|hate)\b"

    def test_subclass_defaults_and_shared_cache(self, blank_model_dir):
        class Custom(PhraseMatcherEngine):
            DEFAULT_BANNED_PHRASES = ["Forbidden Word"]

        engine = Custom(model_name=blank_model_dir)
        assert engine.banned_phrases is Custom.DEFAULT_BANNED_PHRASES
        assert Custom._spacy_model_cache is PhraseMatcherEngine._spacy_model_cache
        assert engine.nlp is PhraseMatcherEngine(model_name=blank_model_dir).nlp
        assert run(engine.check_input("a FORBIDDEN word")).reason == PREFIX + "Forbidden Word"

    def test_pattern_escapes_as_re_escape(self, monkeypatch):
        # Every special character, in every storage width, with a lower case that changes or grows.
        phrases = ["()[]{}?*+-|^$\\.&~# \t\n\r\v\f", "a.b c", "café (x)", "İstanbul?", "东京 #1", "\U0001f600*",
                   "Σ|ς", "plain", "\x00\x7f\x80'\"/"]
        want = r"\b(" + "|".join(re.escape(p.lower()) for p in phrases) + r")\b"
        assert PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False).banned_phrases_regex.pattern == want
        # A replaced `re.escape`, or its table changed, is used as it is.
        monkeypatch.setattr(pme, "re", types.SimpleNamespace(escape=lambda text: text.upper(), compile=re.compile,
                                                             IGNORECASE=re.IGNORECASE))
        assert PhraseMatcherEngine(banned_phrases=["a.b"], use_spacy=False).banned_phrases_regex.pattern == r"\b(A.B)\b"
        monkeypatch.undo()
        monkeypatch.setitem(re._special_chars_map, ord("."), ".")
        assert PhraseMatcherEngine(banned_phrases=["a.b c"], use_spacy=False).banned_phrases_regex.pattern == \
            r"\b(a.b\ c)\b"

    def test_import_and_escaping_without_the_private_table_of_re(self):
        done = run_isolated("""
            import re
            table = re._special_chars_map
            del re._special_chars_map
            re.escape = lambda text: text.translate(table)
            from vadrel_guardrail.engine.phrase_matcher_engine import PhraseMatcherEngine
            engine = PhraseMatcherEngine(banned_phrases=["a.b c", "(x)+İ", "ü?"], use_spacy=False)
            print(engine.banned_phrases_regex.pattern)
        """)
        assert (done.returncode, done.stdout) == (0, r"\b(a\.b\ c|\(x\)\+i̇|ü\?)\b" + "\n"), done.stderr

    def test_later_list_changes_do_not_reach_the_pattern(self):
        phrases = ["make a bomb"]
        engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
        phrases.append("steal money")
        assert run(engine.check_input("steal money")).is_safe is True


class TestVerdicts:
    @pytest.mark.parametrize("path", ["spacy", "regex"])
    def test_examples_on_both_paths(self, path, spacy_engine, regex_engine):
        engine = spacy_engine if path == "spacy" else regex_engine
        result = run(engine.check_input("How to HACK a bank"))
        assert result == GuardrailResult.unsafe(PREFIX + "how to hack")
        assert result.filtered_content is None and result.category is None and result.score is None
        assert run(engine.check_output("How to HACK a bank")) == result
        for text in ("skill yourself", "hackathon how to hacks", "", "nothing here"):
            assert run(engine.check_input(text)) == GuardrailResult.safe()
        assert run(engine.check_input(None)) == GuardrailResult.safe()
        twice = run(engine.check_input("make a bomb, then MAKE A BOMB"))
        assert twice.reason == PREFIX + "make a bomb"
        assert run(engine.check_input("how to hack", trace=1, content_kind="x")) == result

    def test_two_phrases(self, spacy_engine, regex_engine):
        text = "Steal money after you make a bomb"
        assert run(spacy_engine.check_input(text)).reason == PREFIX + "steal money, make a bomb"
        reason = run(regex_engine.check_input(text)).reason
        assert reason.startswith(PREFIX)
        assert sorted(reason[len(PREFIX):].split(", ")) == ["make a bomb", "steal money"]

    def test_spacy_path_lists_each_phrase_once_in_order_of_first_detection(self, blank_model_dir):
        engine = PhraseMatcherEngine(banned_phrases=["Steal Money", "make a bomb", "steal money"],
                                     model_name=blank_model_dir)
        assert engine.phrase_matcher is not None
        text = "steal money, make a bomb, STEAL MONEY and make a bomb"
        assert run(engine.check_input(text)).reason == PREFIX + "Steal Money, make a bomb"

    @pytest.mark.parametrize("use_spacy", [True, False])
    def test_configured_case_is_reported(self, use_spacy, blank_model_dir):
        engine = PhraseMatcherEngine(banned_phrases=["Credit Card Fraud"], use_spacy=use_spacy,
                                     model_name=blank_model_dir)
        assert run(engine.check_input("no CREDIT card FRAUD here")).reason == PREFIX + "Credit Card Fraud"

    def test_first_alternative_wins_on_the_pattern(self, blank_model_dir):
        regex = PhraseMatcherEngine(banned_phrases=["hate", "hate speech"], use_spacy=False)
        assert run(regex.check_input("hate speech")).reason == PREFIX + "hate"
        longer_first = PhraseMatcherEngine(banned_phrases=["hate speech", "hate"], use_spacy=False)
        assert run(longer_first.check_input("hate speech")).reason == PREFIX + "hate speech"
        spacy_path = PhraseMatcherEngine(banned_phrases=["hate", "hate speech"], model_name=blank_model_dir)
        assert run(spacy_path.check_input("hate speech")).reason == PREFIX + "hate, hate speech"

    def test_special_characters_match_literally(self):
        dotted = PhraseMatcherEngine(banned_phrases=["a.b"], use_spacy=False)
        assert run(dotted.check_input("see a.b now")).reason == PREFIX + "a.b"
        assert run(dotted.check_input("see axb now")).is_safe is True
        plus = PhraseMatcherEngine(banned_phrases=["c++"], use_spacy=False)
        # A trailing non-word character needs a word character after it for the closing boundary.
        assert run(plus.check_input("I like c++")).is_safe is True
        assert run(plus.check_input("c++ rocks")).is_safe is True
        assert run(plus.check_input("c++11 rocks")).reason == PREFIX + "c++"

    def test_matched_text_equal_to_no_phrase(self):
        # 'ſ' (long s) matches 's' case-insensitively but is not the phrase's lower-cased text.
        engine = PhraseMatcherEngine(banned_phrases=["steal money"], use_spacy=False)
        result = run(engine.check_input("ſteal money"))
        assert result == GuardrailResult.unsafe(PREFIX)

    def test_mapping_back_reads_the_current_list(self):
        phrases = ["make a bomb"]
        engine = PhraseMatcherEngine(banned_phrases=phrases, use_spacy=False)
        phrases.insert(0, "MAKE A BOMB")
        assert run(engine.check_input("make a bomb")).reason == PREFIX + "MAKE A BOMB"
        phrases.clear()
        assert run(engine.check_input("make a bomb")).is_safe is True

    def test_engines_sharing_one_prepared_pattern_report_their_own_phrases(self):
        # Phrases equal once lower-cased give one pattern text, which `re`'s compile cache can hand to both.
        upper = PhraseMatcherEngine(banned_phrases=["MAKE A BOMB"], use_spacy=False)
        lower = PhraseMatcherEngine(banned_phrases=["make a bomb"], use_spacy=False)
        for engine, phrase in ((upper, "MAKE A BOMB"), (lower, "make a bomb"), (upper, "MAKE A BOMB")):
            assert run(engine.check_input("Make a bomb")).reason == PREFIX + phrase

    def test_replaced_pattern_is_used_as_given(self):
        engine = PhraseMatcherEngine(banned_phrases=["make a bomb", "bomb"], use_spacy=False)
        engine.banned_phrases_regex = re.compile(r"(bomb|mak)")
        assert pme._native_findall(engine.banned_phrases_regex, "a bomb") is None
        # Its own findall: 'mak' without a word boundary, and 'bomb' which is a configured phrase.
        assert run(engine.check_input("make a bomb")).reason == PREFIX + "bomb"
        engine.banned_phrases_regex = re.compile(r"(ma)ke")
        assert run(engine.check_input("make a bomb")) == GuardrailResult.unsafe(PREFIX)

    def test_no_pattern_means_safe(self):
        config = BaseGuardrailEngineConfig(guardrail_mode="disabled")
        engine = PhraseMatcherEngine(config, ["make a bomb"])
        config.guardrail_mode = GuardrailMode.BOTH
        assert run(engine.check_input("make a bomb")).is_safe is True
        assert run(engine.check_output("make a bomb")).is_safe is True

    def test_content_that_is_not_text(self, spacy_engine, regex_engine, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        with pytest.raises(AttributeError):
            run(regex_engine.check_input(42))
        # bytes lower-case fine but a text pattern cannot search them.
        with pytest.raises(TypeError):
            run(regex_engine.check_input(b"make a bomb"))
        assert records(caplog) == []
        with pytest.raises(AttributeError):
            run(spacy_engine.check_input(42))
        [(level, message)] = records(caplog)
        assert level == "WARNING" and message.startswith("SpaCy matching failed: ")

    def test_spacy_failure_falls_back_for_that_check(self, blank_model_dir, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        engine = PhraseMatcherEngine(model_name=blank_model_dir)
        caplog.clear()
        real = engine.nlp
        calls = []

        class Failing:
            def __call__(self, text):
                calls.append(text)
                raise RuntimeError("tokenizer exploded")

        engine.nlp = Failing()
        assert engine.banned_phrases_regex is None
        result = run(engine.check_input("Please MAKE A BOMB"))
        assert result == GuardrailResult.unsafe(PREFIX + "make a bomb")
        assert records(caplog) == [("WARNING", "SpaCy matching failed: tokenizer exploded. Falling back to regex.")]
        prepared = engine.banned_phrases_regex
        assert prepared is not None and engine.use_spacy is True
        # The next check tries spaCy first again and keeps the prepared pattern.
        run(engine.check_input("fine text"))
        assert calls == ["please make a bomb", "fine text"]
        assert engine.banned_phrases_regex is prepared
        engine.nlp = real
        caplog.clear()
        assert run(engine.check_input("make a bomb")).reason == PREFIX + "make a bomb"
        assert records(caplog) == []

    def test_spacy_failure_while_mapping_back(self, blank_model_dir, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        engine = PhraseMatcherEngine(banned_phrases=["make a bomb"], model_name=blank_model_dir)
        caplog.clear()
        engine.banned_phrases.insert(0, None)  # its lower() fails during the mapping; the matcher keeps one rule
        with pytest.raises(AttributeError):
            run(engine.check_input("nothing to see, make a bomb"))
        assert [level for level, _ in records(caplog)] == ["WARNING"]

    def test_interruptions_are_not_caught(self, blank_model_dir):
        engine = PhraseMatcherEngine(model_name=blank_model_dir)

        def interrupt(text):
            raise KeyboardInterrupt

        engine.nlp = interrupt
        with pytest.raises(KeyboardInterrupt):
            engine.check_input("make a bomb").send(None)
        assert engine.banned_phrases_regex is None

    def test_unmatched_spacy_match_still_unsafe(self, blank_model_dir):
        engine = PhraseMatcherEngine(banned_phrases=["make a bomb"], model_name=blank_model_dir)
        engine.banned_phrases[0] = "something else"
        assert run(engine.check_input("make a bomb")) == GuardrailResult.unsafe(PREFIX)

    def test_replaced_steps_are_called(self, regex_engine):
        # The checks reach `_check_content` and the regular-expression path through the engine, so that one
        # replaced on the engine, or in a subclass, is called instead of the class's own.
        calls = []

        async def content_step(content, **kwargs):
            calls.append(("content", content, kwargs))
            return GuardrailResult.safe()

        regex_engine._check_content = content_step
        assert run(regex_engine.check_output("make a bomb", trace=1)).is_safe is True
        del regex_engine._check_content
        regex_engine._check_banned_phrases_regex = lambda content: calls.append(("regex", content)) or "replaced"
        assert run(regex_engine.check_input("make a bomb")) == "replaced"
        del regex_engine._check_banned_phrases_regex
        assert run(regex_engine.check_input("make a bomb")).reason == PREFIX + "make a bomb"

        class Quiet(PhraseMatcherEngine):
            def _check_banned_phrases_regex(self, content):
                calls.append(("subclass", content))
                return GuardrailResult.safe()

        assert run(Quiet(use_spacy=False).check_input("make a bomb")).is_safe is True
        assert calls == [("content", "make a bomb", {"trace": 1}), ("regex", "make a bomb"),
                         ("subclass", "make a bomb")]

    def test_check_does_not_suspend(self, regex_engine):
        coro = regex_engine.check_input("make a bomb")
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value.reason == PREFIX + "make a bomb"


async def chunks_of(*items):
    for item in items:
        yield item


async def collect(stream):
    return [item async for item in stream]


class TestStreams:
    @pytest.mark.parametrize("direction", ["check_input_stream", "check_output_stream"])
    def test_verdicts(self, direction, regex_engine):
        op = getattr(regex_engine, direction)
        assert run(collect(op(chunks_of("how to ", "hack")))) == [
            GuardrailStreamChunk(chunk="", is_safe=False, reason=PREFIX + "how to hack")]
        assert run(collect(op(chunks_of("all ", "", "fine")))) == [
            GuardrailStreamChunk(chunk=c, is_safe=True) for c in ("all ", "", "fine")]
        assert run(collect(op(chunks_of()))) == []

    def test_stream_is_lazy_and_uses_the_engine_checks(self, regex_engine, monkeypatch):
        seen = []

        async def spy(content, **kwargs):
            seen.append((content, kwargs))
            return GuardrailResult.safe()

        monkeypatch.setattr(regex_engine, "check_output", spy)
        stream = regex_engine.check_output_stream(chunks_of("a", "b"), 10, max_stream_buffer_chunks=5, tag=1)
        assert seen == []
        assert len(run(collect(stream))) == 2
        assert seen == [("ab", {"tag": 1})]

    def test_default_caps(self, regex_engine):
        with pytest.raises(GuardrailStreamBufferLimitError) as err:
            run(collect(regex_engine.check_input_stream(chunks_of(*[""] * 10001))))
        assert (err.value.limit_kind, err.value.configured_limit, err.value.attempted) == ("chunks", 10000, 10001)
        with pytest.raises(GuardrailStreamBufferLimitError) as err:
            run(collect(regex_engine.check_input_stream(chunks_of("x" * 1048576, "é"))))
        assert (err.value.limit_kind, err.value.configured_limit, err.value.attempted) == ("bytes", 1048576, 1048578)

    def test_given_caps(self, regex_engine):
        with pytest.raises(GuardrailStreamBufferLimitError) as err:
            run(collect(regex_engine.check_input_stream(chunks_of("ab", "cd", "e"), max_stream_buffer_bytes=4)))
        assert err.value.attempted == 5


def test_python_case_rules_hold():
    iscased, tolower = _sre.unicode_iscased, _sre.unicode_tolower
    assert all(tolower(c) == c or iscased(tolower(c)) for c in range(sys.maxunicode + 1))
    for key, others in _EXTRA_CASES.items():
        members = {key, *others}
        assert all({m, *_EXTRA_CASES[m]} == members and iscased(m) and tolower(m) == m for m in members)


def test_only_patterns_prepared_by_an_engine_have_an_automaton():
    engine = PhraseMatcherEngine(banned_phrases=["make a bomb"], use_spacy=False)
    assert pme._native_findall(engine.banned_phrases_regex, "make a bomb") == ["make a bomb"]
    assert pme._native_findall(re.compile(r"\b(make a bomb)\b"), "make a bomb") is None
    assert pme._native_findall(engine.banned_phrases_regex, b"make a bomb") is None
