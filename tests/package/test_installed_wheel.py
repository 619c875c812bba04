"""The wheel, installed in a fresh environment, needs nothing outside itself but glibc: its C++
runtime and libdivsufsort are linked in."""

import ctypes
import importlib.metadata
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import quarnel

GLIBC_LIBRARIES = {"ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1", "libc.so.6", "libm.so.6",
                   "libpthread.so.0", "libdl.so.2", "librt.so.1"}

# Imports quarnel after NumPy and calls into what it links in (libdivsufsort for the suffix array,
# the character tables for the sentence rules on non-ASCII words); prints the shared objects this
# mapped.
PROBE = r"""
import json
import numpy

def mapped():
    with open("/proc/self/maps") as f:
        fields = (line.split(None, 5) for line in f)
        return {x[5].strip() for x in fields if len(x) == 6 and ".so" in x[5]}

before = mapped()
import quarnel
quarnel.suffix_array_fn(b"banana", backend="divsufsort")
quarnel.find_duplicates("Ärzte lesen gern Bücher. ÄRZTE.DE sagt: Ärzte lesen gern Bücher. Ende.")
print(json.dumps(sorted(mapped() - before)))
"""

SITE = pathlib.Path(quarnel.__file__).resolve().parent.parent


def test_quarnel_is_imported_from_the_installed_wheel(wheel):
    assert SITE.is_relative_to(pathlib.Path(sys.prefix).resolve())
    origin = json.loads(importlib.metadata.distribution("quarnel").read_text("direct_url.json"))
    assert origin["url"].endswith("/" + wheel.name)


def test_system_copies_of_the_linked_libraries_cannot_be_loaded(hidden_libraries):
    assert hidden_libraries
    for path in hidden_libraries:
        with pytest.raises(OSError):
            ctypes.CDLL(path)
    for soname in {re.sub(r"(\.so\.\d+).*", r"\1", os.path.basename(p)) for p in hidden_libraries}:
        with pytest.raises(OSError):
            ctypes.CDLL(soname)


def test_only_the_wheels_modules_and_glibc_are_loaded(wheel):
    env = dict(os.environ, LD_LIBRARY_PATH="")
    run = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, cwd="/")
    assert run.returncode == 0, run.stderr
    loaded = [pathlib.Path(p) for p in json.loads(run.stdout)]
    from_wheel = sorted(p.name.split(".")[0] for p in loaded if p.is_relative_to(SITE / "quarnel"))
    assert "_native" in from_wheel
    outside = [p for p in loaded if not p.is_relative_to(SITE / "quarnel") and p.name not in GLIBC_LIBRARIES]
    assert outside == []
