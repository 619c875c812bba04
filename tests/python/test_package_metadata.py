"""The installed package reports one version everywhere and carries its licence and long
description."""

import importlib.metadata
import subprocess
import sys

import quarnel


def test_version_attribute_matches_the_distribution_metadata():
    assert quarnel.__version__ == importlib.metadata.version("quarnel")


def test_command_line_prints_the_version():
    run = subprocess.run([sys.executable, "-m", "quarnel", "--version"], capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (0, f"quarnel {quarnel.__version__}\n")


def test_metadata_has_licence_classifiers_and_readme():
    dist = importlib.metadata.distribution("quarnel")
    meta = dist.metadata
    assert meta["License-Expression"] == "MIT"
    assert "MIT License" in dist.read_text("licenses/LICENSE")
    versions = {c.rsplit(" :: ", 1)[1] for c in meta.get_all("Classifier") if c.startswith("Programming Language :: Python :: 3.")}
    assert {"3.11", "3.12", "3.13"} <= versions
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().startswith("# quarnel\n")
