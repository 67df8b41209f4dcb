"""The native functions bind their calls as CPython binds a Python function's: the same arguments fit, the same
Python code runs while they are matched (a keyword's `__eq__` and `__hash__`, in the same order), misfits raise
the same errors in the same words, and nothing a keyword's code does frees an argument under the call."""

import asyncio
import functools
import gc
import importlib.metadata
import inspect
import random
import re
import tomllib
from pathlib import Path

import _pyasync_testing
import pytest
from effort import scaled
from packaging.requirements import Requirement

from vadrel_guardrail import GuardrailManager, PhraseMatcherEngine


def native_functions():
    """Every signed function the three packages made, by qualified name."""
    import vadrel_core  # noqa: F401
    import vadrel_guardrail  # noqa: F401
    import vadrel_inference  # noqa: F401

    found = {}
    for obj in gc.get_objects():
        if type(obj).__name__ == "native_function":
            found[f"{obj.__module__}.{obj.__qualname__}"] = obj
    return dict(sorted(found.items()))


def python_twin(native):
    """A Python function with the native one's signature (no annotations), `__qualname__` and `__module__`."""
    signature = inspect.signature(native)
    bare = signature.replace(
        parameters=[p.replace(annotation=p.empty) for p in signature.parameters.values()],
        return_annotation=signature.empty,
    )
    namespace = {}
    exec(f"def twin{bare}:\n    pass", namespace)  # noqa: S102 - the reference is CPython's own binding
    twin = namespace["twin"]
    twin.__qualname__, twin.__module__ = native.__qualname__, native.__module__
    return twin


class Deny(str):
    """Spells a name but equals nothing: Python passes it to `**kwargs`."""

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class Accept(str):
    """Equals every name."""

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class Shown(str):
    """Shows itself otherwise than it spells itself."""

    def __str__(self):
        return f"shown as {str.__str__(self)!r}"


def keyword_pool(parameters):
    names = [p.name for p in parameters]
    pool = ["colour", "\udc80", "\udc80content", Accept("anything"), Shown("nothing")]
    for name in names:
        pool += [name, name + "s", name[:-1], name.upper(), Deny(name), Shown(name)]
    return pool


def outcome(call):
    try:
        call()
    except TypeError as error:
        return str(error)
    return None


def test_misfitting_calls_raise_what_a_python_function_raises():
    rng = random.Random(36)
    compared = 0
    for path, native in native_functions().items():
        twin = python_twin(native)
        parameters = list(inspect.signature(native).parameters.values())
        pool = keyword_pool(parameters)
        for _ in range(scaled(60, minimum=15)):
            args = [object() for _ in range(rng.randint(0, len(parameters) + 2))]
            kwargs = {rng.choice(pool): object() for _ in range(rng.choice((0, 1, 1, 2, 3)))}
            expected = outcome(lambda: twin(*args, **kwargs))
            if expected is None:
                continue  # the call fits: the native body would run on placeholders
            assert outcome(lambda: native(*args, **kwargs)) == expected, (path, len(args), list(kwargs))
            compared += 1
    assert compared > 1000 * min(1.0, scaled(60) / 60)


def native_body(function):
    """The nanobind function a signed function calls."""
    return next(o for o in gc.get_referents(function) if hasattr(o, "__nb_signature__"))


def rendered_parameters(function):
    """The parameter names nanobind renders for the native body a signed function calls ("**kwargs" for that)."""
    (text, *_), = native_body(function).__nb_signature__
    depth, current, parts = 0, "", []
    for ch in text[text.index("(") + 1 :]:
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            if depth == 0:
                break
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += ch
    parts.append(current.strip())
    return [re.split(r"[:=]", part)[0].strip() for part in parts if part not in ("", "/", "*")]


def test_each_native_body_takes_the_stubs_parameters_in_order_without_defaults_of_its_own():
    # The binder hands the body every value, the stubs' defaults included, by position (keyword-only ones and
    # unmatched keywords by name): a body whose parameters drift from the stubs would get the wrong values or
    # refuse them, and a default of the body's own would be a second one, never used, free to differ.
    for path, native in native_functions().items():
        declared = inspect.signature(native).parameters.values()
        positional = [p.name for p in declared if p.kind == p.POSITIONAL_OR_KEYWORD]
        by_name = [p.name for p in declared if p.kind == p.KEYWORD_ONLY]
        by_name += ["**kwargs"] if any(p.kind == p.VAR_KEYWORD for p in declared) else []
        rendered = rendered_parameters(native)
        # nanobind calls a parameter declared without a name "argN".
        assert len(rendered) == len(positional) + len(by_name), path
        assert all(r == p or re.fullmatch(r"arg\d+", r) for r, p in zip(rendered, positional)), path
        assert rendered[len(positional) :] == by_name, path
        ((*_, defaults),) = native_body(native).__nb_signature__
        assert defaults is None, (path, defaults)


def test_defaults_are_a_python_functions():
    for path, native in native_functions().items():
        twin = python_twin(native)
        assert (native.__defaults__, native.__kwdefaults__) == (twin.__defaults__, twin.__kwdefaults__), path


def test_keywords_match_by_identity_then_eq_as_python_matches_them():
    engine = PhraseMatcherEngine(use_spacy=False, banned_phrases=["forbidden"])
    log = []

    class Recording(str):
        def __eq__(self, other):
            log.append(("eq", str.__str__(self), other))
            return str.__eq__(self, other)

        def __hash__(self):
            log.append(("hash", str.__str__(self)))
            return str.__hash__(self)

    async def check_input(self, content, **kwargs):
        return content, kwargs

    def logged(function, *args, **kwargs):
        del log[:]
        result = asyncio.run(function(*args, **kwargs))
        return result, list(log)

    for args, keywords in (((), ["content"]), (("a forbidden text",), ["other"]), ((), ["other", "content"])):
        built = {Recording(name): "a forbidden text" for name in keywords}
        (content, extra), expected_log = logged(check_input, engine, *args, **built)
        verdict, native_log = logged(PhraseMatcherEngine.check_input, engine, *args, **built)
        assert native_log == expected_log and expected_log
        assert content == "a forbidden text" and list(extra) == ["other"] * ("other" in keywords)
        assert not verdict.is_safe

    # A keyword that spells "content" but equals nothing goes to **kwargs, as in Python.
    assert not asyncio.run(engine.check_input("a forbidden text", **{Deny("content"): 1})).is_safe
    with pytest.raises(TypeError) as raised:
        engine.check_input(**{Deny("content"): "a forbidden text"})
    assert str(raised.value) == "PhraseMatcherEngine.check_input() missing 1 required positional argument: 'content'"


def test_keyword_errors_show_the_keyword_as_str_shows_it():
    manager = GuardrailManager(PhraseMatcherEngine(use_spacy=False))
    twin = python_twin(GuardrailManager.check_content)
    for keyword in (Shown("bogus"), Shown("content"), Deny("content"), Accept("x"), "\udc80"):
        expected = outcome(lambda: twin(manager, "a", **{keyword: 1}))
        assert expected is not None
        assert outcome(lambda: manager.check_content("a", **{keyword: 1})) == expected


class Resetting(str):
    """A keyword whose `hook` (`__hash__` or `__eq__`), once armed, empties the partial that carries the call's
    arguments: theirs was the only reference."""

    def arm(self, partial, hook):
        self.partial, self.hook = partial, hook

    def _fire(self, hook):
        if getattr(self, "hook", None) == hook:
            self.hook = None
            self.partial.__setstate__((print, (), None, None))
            gc.collect()

    def __hash__(self):
        self._fire("__hash__")
        return str.__hash__(self)

    def __eq__(self, other):
        self._fire("__eq__")
        return str.__eq__(self, other)


@pytest.mark.parametrize("hook", ["__hash__", "__eq__"])
def test_a_keyword_that_frees_the_arguments_frees_nothing_under_the_call(hook):
    text = "".join(["a for", "bidden text"])
    call = functools.partial(
        PhraseMatcherEngine.check_input, PhraseMatcherEngine(use_spacy=False, banned_phrases=["forbidden"]), text
    )
    del text
    keyword = Resetting("trace")
    kwargs = {keyword: 1}
    keyword.arm(call, hook)
    coroutine = call(**kwargs)
    assert call.args == ()  # the partial let go of the engine and the text while the call bound them
    verdict = asyncio.run(coroutine)
    assert not verdict.is_safe and verdict.reason == "Content contains banned phrases: forbidden"

    manager_call = functools.partial(
        GuardrailManager.check_content, GuardrailManager(PhraseMatcherEngine(use_spacy=False)), "".join(["a", "b"])
    )
    keyword = Resetting("engine_kwarg")
    kwargs = {keyword: 1}
    keyword.arm(manager_call, hook)
    with pytest.raises(TypeError) as raised:
        manager_call(**kwargs)
    assert str(raised.value) == (
        "GuardrailManager.check_content() got an unexpected keyword argument 'engine_kwarg'. "
        "Did you mean 'engine_kwargs'?"
    )


def test_a_stub_whose_parameters_are_not_the_native_functions_is_refused():
    with pytest.raises(TypeError, match=re.escape("_pyasync_testing.unsafe: the stubs declare (reason, category, "
                                                  "filtered_content) but the native function takes (reason, "
                                                  "filtered_content, category)")):
        _pyasync_testing.sign_against_swapped_stubs()


def test_the_build_takes_only_the_nanobind_it_is_tested_with():
    pyproject = tomllib.loads((Path(__file__).resolve().parents[2] / "pyproject.toml").read_text())
    nanobind = next(r for r in map(Requirement, pyproject["build-system"]["requires"]) if r.name == "nanobind")
    major, minor = map(int, (tested := importlib.metadata.version("nanobind")).split(".")[:2])
    assert tested in nanobind.specifier and f"{major}.{minor + 1}" not in nanobind.specifier
