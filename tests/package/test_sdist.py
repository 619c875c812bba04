"""The source distribution holds every source a build reads and nothing a build produced."""

import pathlib
import re
import tarfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD_SOURCES = ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "cmake", "core",
                 "report", "bindings", "python/quarnel"]
OUTPUT = re.compile(r"(^|/)(build|dist|\.venv|_skbuild|__pycache__|\.pytest_cache)(/|$)"
                    r"|\.(so|o|a|whl|pyc)$|\.egg-info(/|$)")


def members(sdist):
    with tarfile.open(sdist) as t:
        names = [m.name for m in t.getmembers() if m.isfile()]
    prefix = names[0].split("/", 1)[0] + "/"
    assert all(n.startswith(prefix) for n in names)
    return {n[len(prefix):] for n in names}


def source_files():
    for entry in BUILD_SOURCES:
        path = ROOT / entry
        for f in ([path] if path.is_file() else sorted(path.rglob("*"))):
            rel = f.relative_to(ROOT).as_posix()
            if f.is_file() and not OUTPUT.search(rel):
                yield rel


def test_sdist_has_every_build_source(sdist):
    missing = sorted(set(source_files()) - members(sdist))
    assert missing == []


def test_sdist_has_no_build_outputs(sdist):
    assert sorted(n for n in members(sdist) if OUTPUT.search(n)) == []


def test_sdist_metadata_names_version_and_license(sdist):
    with tarfile.open(sdist) as t:
        info = t.extractfile(next(m for m in t.getmembers() if m.name.endswith("/PKG-INFO"))).read().decode()
    version = re.search(r'__version__ = "(.+)"', (ROOT / "python/quarnel/_version.py").read_text()).group(1)
    assert re.search(rf"^Version: {re.escape(version)}$", info, re.M)
    assert re.search(r"^License-Expression: MIT$", info, re.M)
    assert sdist.name == f"quarnel-{version}.tar.gz"
