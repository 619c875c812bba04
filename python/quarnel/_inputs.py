"""Inputs of the command line: paths and directories walked, files read and decoded."""

import fnmatch
import os
import sys
from dataclasses import dataclass, field
from importlib import resources

SAMPLE = "sample.txt"
STDIN = "<stdin>"
BOM = "\ufeff"


@dataclass
class Inputs:
    names: list = field(default_factory=list)
    texts: list = field(default_factory=list)
    skipped: list = field(default_factory=list)  # (name, reason): binary or not UTF-8
    failed: list = field(default_factory=list)  # (name, reason): could not be read at all
    bytes_read: int = 0


def _matches(patterns, name, relative):
    return any(fnmatch.fnmatchcase(name, p) or fnmatch.fnmatchcase(relative, p) for p in patterns)


def walk(root, globs, excludes, hidden, fail):
    """Regular files under a directory in sorted order, filtered by name or by path relative
    to it (FIFOs and devices are left out: reading them could block or never end)."""
    def on_error(exc):
        fail(exc.filename or root, exc.strerror or str(exc))

    def kept(name, relative, patterns=()):
        if not hidden and name.startswith("."):
            return False
        if _matches(excludes, name, relative):
            return False
        return not patterns or _matches(patterns, name, relative)

    for top, dirs, files in os.walk(root, onerror=on_error):
        below = os.path.relpath(top, root)
        relative = (lambda name: name) if below == "." else (lambda name: os.path.join(below, name))
        dirs[:] = sorted(d for d in dirs if kept(d, relative(d)))
        for name in sorted(files):
            path = os.path.join(top, name)
            if kept(name, relative(name), globs) and os.path.isfile(path):
                yield path


def expand(paths, globs, excludes, hidden, fail):
    """Named files are taken as they are; directories are walked."""
    for path in paths:
        if path is not None and path != "-" and os.path.isdir(path):
            yield from walk(path, globs, excludes, hidden, fail)
        else:
            yield path


def decode(raw):
    """The text of a file's bytes, or (None, reason) when it is binary or not UTF-8."""
    nul = raw.find(b"\0")
    if nul >= 0:
        return None, f"binary (NUL byte at offset {nul})"
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        return None, f"not UTF-8 (byte 0x{raw[exc.start]:02x} at offset {exc.start})"
    # offsets count from the first character after a byte-order mark
    return (text[1:] if text.startswith(BOM) else text), None


def read_raw(path):
    if path == "-":
        return sys.stdin.buffer.read()
    if path is None:
        return resources.files("quarnel").joinpath("data", SAMPLE).read_bytes()
    with open(path, "rb") as f:
        return f.read()


def display_name(path):
    return STDIN if path == "-" else SAMPLE if path is None else path


def read_inputs(paths, globs, excludes, hidden, progress, report_path=None):
    """Reads every input; failures and skips are noted and counted, never fatal. The report
    being written (`report_path`) is left out, as when it is written into a directory read."""
    inputs = Inputs()
    report = os.path.realpath(report_path) if report_path is not None else None

    def fail(name, reason):
        inputs.failed.append((name, reason))
        progress.note(f"quarnel: error: cannot read {name}: {reason}", error=True)

    for path in expand(paths, globs, excludes, hidden, fail):
        if report is not None and path not in (None, "-") and os.path.realpath(path) == report:
            continue
        name = display_name(path)
        progress.set(f"reading {len(inputs.names) + 1} files, "
                     f"{inputs.bytes_read / 1e6:.0f} MB: {name}")
        try:
            raw = read_raw(path)
        except OSError as exc:
            fail(name, exc.strerror or str(exc))
            continue
        inputs.bytes_read += len(raw)
        text, reason = decode(raw)
        del raw
        if text is None:
            inputs.skipped.append((name, reason))
            progress.note(f"quarnel: skipped {name}: {reason}")
            continue
        inputs.names.append(name)
        inputs.texts.append(text)
    return inputs
