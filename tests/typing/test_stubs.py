"""The stubs describe the built modules, and type checkers accept the documented use and refuse misuse."""

import os
import re
import site
import subprocess
import sys
from pathlib import Path

import pytest
from readme_samples import python_samples

HERE = Path(__file__).resolve().parent
EXAMPLES = HERE.parents[1] / "examples"
PACKAGES = ["vadrel_core", "vadrel_inference", "vadrel_guardrail"]


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def installed_elsewhere():
    """The directory the packages under test are installed in, when it is no site directory: the
    sanitizer build lives in a directory of its own on PYTHONPATH, which mypy does not search."""
    import vadrel_guardrail

    root = Path(vadrel_guardrail.__file__).resolve().parents[1]
    return None if root in {Path(p).resolve() for p in site.getsitepackages()} else root


# mypy runs in its own process: it raises the recursion limit and keeps state of its own.
def mypy(tool, *args, cwd):
    env = dict(os.environ)
    if root := installed_elsewhere():
        env["MYPYPATH"] = str(root)
    if "PYTHONPATH" in env:  # the run sits in another directory
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    command = [sys.executable, "-m", tool, *map(str, args)]
    done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True)
    return done.stdout + done.stderr, done.returncode


def strict(paths, cache, *options):
    return mypy("mypy", "--strict", "--cache-dir", cache, *options, *paths, cwd=cache)


def test_stubs_match_the_built_modules(tmp_path):
    report, status = mypy(
        "mypy.stubtest",
        "--mypy-config-file", HERE / "mypy.ini",
        "--allowlist", HERE / "stubtest_allowlist.txt",
        *PACKAGES,
        cwd=tmp_path,
    )  # fmt: skip
    assert status == 0, report


def test_stubs_examples_readme_samples_and_usage_pass_strict_checking(tmp_path, mypy_cache):
    samples = []
    for index, sample in enumerate(python_samples()):
        samples.append(tmp_path / f"readme_sample_{index}.py")
        samples[-1].write_text(sample, encoding="utf-8")
    report, status = strict([EXAMPLES, HERE / "usage.py", *samples], mypy_cache)
    assert status == 0, report
    # The stubs themselves, as strictly (mypy takes files or packages, not both at once).
    packages = [option for package in PACKAGES for option in ("-p", package)]
    report, status = strict(packages, mypy_cache, "--config-file", HERE / "mypy.ini")
    assert status == 0, report


# Each line marked "# E: code" must draw that error, and no other line any.
MISUSE = """\
import asyncio

from vadrel_guardrail import GuardrailManager, GuardrailMode, GuardrailResult, PhraseMatcherEngine
from vadrel_guardrail.engine.base_engine import GuardrailStreamBufferLimitError
from vadrel_guardrail.schema import GuardrailStreamChunk


async def main() -> None:
    GuardrailManager(PhraseMatcherEngine(), max_stream_buffer_bytes="1 MiB")  # E: call-overload
    GuardrailManager((PhraseMatcherEngine(),))  # E: call-overload
    manager = GuardrailManager([PhraseMatcherEngine()])
    result = await manager.check_content(42)  # E: arg-type
    print("verdict: " + result.is_safe)  # E: operator
    await manager.check_contents("text")  # E: attr-defined
    mode = GuardrailMode.INPUT  # E: attr-defined
    GuardrailResult.unsafe(reason=404)  # E: arg-type
    GuardrailResult(is_safe=False, reason=["too long"])  # E: arg-type
    async for item in manager.check_input_stream(["not", "async"]):  # E: arg-type
        item.chunk.missing  # E: attr-defined
    chunk: GuardrailStreamChunk = await manager.check_content("text")  # E: assignment
    error = GuardrailStreamBufferLimitError("bytes", 10, 11)
    error.attempted.upper()  # E: attr-defined
    print(mode, chunk)


asyncio.run(main())
"""


def test_strict_checking_flags_misuse(tmp_path, mypy_cache):
    sample = tmp_path / "misuse.py"
    sample.write_text(MISUSE, encoding="utf-8")
    report, status = strict([sample], mypy_cache)
    expected = {
        number: code
        for number, line in enumerate(MISUSE.splitlines(), start=1)
        if (code := re.search(r"# E: (\S+)$", line)) and (code := code.group(1))
    }
    found = {int(line): code for line, code in re.findall(r"misuse\.py:(\d+): error: .*\[([\w-]+)\]$", report, re.M)}
    assert status == 1
    assert found == expected, report
