"""The installed package reports its version (the command line's: test_cli.py) and carries its
licence and long description."""

import importlib.metadata

import quarnel


def test_version_licence_classifiers_and_readme_in_the_distribution_metadata():
    assert quarnel.__version__ == importlib.metadata.version("quarnel")
    dist = importlib.metadata.distribution("quarnel")
    meta = dist.metadata
    assert meta["License-Expression"] == "MIT"
    assert "MIT License" in dist.read_text("licenses/LICENSE")
    python = "Programming Language :: Python :: "
    versions = {c.removeprefix(python) for c in meta.get_all("Classifier") if c.startswith(python)}
    assert {"3.11", "3.12", "3.13"} <= versions
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().startswith("# quarnel\n")
