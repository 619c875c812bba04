"""Checks of the built distributions, run by scripts/test-wheels.sh.

That script runs this directory in each installed wheel's environment inside a mount namespace
where the system's copies of the libraries the wheel links in (libdivsufsort, and ICU, which an
older build used) are made unreadable (QUARNEL_PACKAGE_CHECK=hidden); and test_wheel_file.py for
every wheel with the interpreter that has auditwheel (QUARNEL_AUDITWHEEL)."""

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
def auditwheel():
    return _artifact("QUARNEL_AUDITWHEEL")


@pytest.fixture
def hidden_libraries():
    if MODE != "hidden":
        pytest.skip("needs the system libraries hidden (QUARNEL_PACKAGE_CHECK=hidden)")
    return os.environ["QUARNEL_HIDDEN_LIBRARIES"].split()

