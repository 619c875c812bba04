"""The type stubs (.pyi) against the installed package, by mypy's stubtest: every name, __all__,
signature and class of quarnel, quarnel._native, quarnel._index and quarnel._corpus."""

import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def test_stubs_agree_with_the_runtime(tmp_path):
    argv = [sys.executable, "-m", "mypy.stubtest", "--ignore-unused-allowlist", "quarnel"]
    argv += ["--mypy-config-file", str(HERE.parents[1] / "pyproject.toml")]
    argv += ["--allowlist", str(HERE / "stubtest_allowlist.txt")]
    # From a directory without the sources, so that the installed package (and its stubs) is read.
    run = subprocess.run(argv, cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
