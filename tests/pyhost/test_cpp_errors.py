"""A C++ exception that carries only the C++ library's words ("std::bad_cast") reaches Python in the library's
own words, whether it leaves a bound function or a coroutine's frame; one thrown with words of its own keeps them."""

import asyncio

import pytest

import vadrel_inference  # noqa: F401  (installs the translation for the library's modules)
import _pyasync_testing as t


def test_a_failed_conversion_in_a_function():
    with pytest.raises(TypeError) as info:
        t.raise_bad_cast_now()
    assert "std::" not in str(info.value) and str(info.value)


def test_a_failed_conversion_in_a_coroutine():
    with pytest.raises(TypeError) as info:
        asyncio.run(t.raise_bad_cast())
    assert "std::" not in str(info.value) and str(info.value)
    with pytest.raises(RuntimeError, match="^boom$"):
        asyncio.run(t.raise_cpp("boom"))
