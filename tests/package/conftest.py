"""Checks of the built distributions, run by scripts/test-wheels.sh.

That script runs this directory twice for each wheel: once inside a mount namespace where the
system's copies of the bundled libraries are made unreadable (QUARNEL_PACKAGE_CHECK=hidden), and
once with them in place (QUARNEL_PACKAGE_CHECK=visible), for the comparisons that need them."""

import os
import pathlib

import pytest

MODE = os.environ.get("QUARNEL_PACKAGE_CHECK", "")


def _artifact(variable):
    value = os.environ.get(variable)
    if not value:
        pytest.skip(f"{variable} is set by scripts/test-wheels.sh")
    return pathlib.Path(value)


@pytest.fixture
def sdist():
    return _artifact("QUARNEL_SDIST")


@pytest.fixture
def wheel():
    return _artifact("QUARNEL_WHEEL")


@pytest.fixture
def hidden_libraries():
    if MODE != "hidden":
        pytest.skip("needs the system libraries hidden (QUARNEL_PACKAGE_CHECK=hidden)")
    return os.environ["QUARNEL_HIDDEN_LIBRARIES"].split()


@pytest.fixture
def system_libraries_visible():
    if MODE != "visible":
        pytest.skip("needs the system libraries in place (QUARNEL_PACKAGE_CHECK=visible)")
