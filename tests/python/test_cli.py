"""The command line ``python -m quarnel duplicates``, run as a separate process."""

import json
import os
import re
import subprocess
import sys
from importlib import resources

import pytest

from quarnel import _native

ENV = dict(os.environ, PYTHONIOENCODING="utf-8")
BASE = "alpha beta gamma delta and alpha beta gamma delta"
ROW = re.compile(r"^( {0,4}\d+)  ( {0,4}\d+)  (.{60})  (.+)$")
HEADER = f"{'count':>5}  {'words':>5}  {'phrase':<60}  occurrences (line:column)"


def run(*args, stdin=b""):
    proc = subprocess.run([sys.executable, "-m", "quarnel", "duplicates", *map(str, args)], input=stdin,
                          capture_output=True, env=ENV, timeout=60)
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def run_json(*args, stdin=b""):
    code, out, err = run("--json", *args, stdin=stdin)
    assert (code, err) == (0, "")
    return json.loads(out)


def sample_text():
    return resources.files("quarnel").joinpath("data", "sample.txt").read_bytes().decode("utf-8")


def write(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
    return path


def line_column(text, utf16_offset):
    """1-based line and column (in characters) of a UTF-16 offset into text."""
    units = 0
    for index, ch in enumerate(text):
        if units >= utf16_offset:
            break
        units += 2 if ord(ch) > 0xFFFF else 1
    else:
        index = len(text)
    line = text.count("\n", 0, index) + 1
    column = index - (text.rfind("\n", 0, index) + 1) + 1
    return f"{line}:{column}"


def parse_table(lines):
    assert lines[0] == HEADER
    rows = []
    for line in lines[1:]:
        match = ROW.match(line)
        assert match, line
        count, words, phrase, where = match.groups()
        rows.append((int(count), int(words), phrase.rstrip(" "), where.split(", ")))
    return rows


def assert_table_matches(lines, text, results):
    rows = parse_table(lines)
    assert len(rows) == len(results)
    for (count, words, phrase, where), r in zip(rows, results):
        assert (count, words) == (r["count"], r["number_of_words"])
        flat = " ".join(r["phrase"].split())
        assert phrase == flat or (phrase.endswith("\u2026") and flat.startswith(phrase[:-1]) and len(phrase) == 60)
        shown = r["occurrences"][:8]
        expected = [line_column(text, o["start"]) for o in shown]
        if r["count"] > 8:
            expected.append(f"+{r['count'] - 8} more")
        assert where == expected


# ---------------------------------------------------------------------------------------------
# Inputs
# ---------------------------------------------------------------------------------------------

def test_bundled_sample_without_file():
    code, out, err = run()
    assert (code, err) == (0, "")
    lines = out.splitlines()
    assert lines[0] == "== sample.txt (bundled sample)"
    text = sample_text()
    results = _native.find_duplicates(text)
    assert results, "the bundled sample should contain repeated phrases"
    assert_table_matches(lines[1:], text, results)
    assert run_json() == results


def test_single_file_table_has_no_label(tmp_path):
    path = write(tmp_path, "one.txt", BASE)
    code, out, err = run(path)
    assert (code, err) == (0, "")
    lines = out.splitlines()
    assert_table_matches(lines, BASE, _native.find_duplicates(BASE))
    assert lines[1].split()[-2:] == ["1:1,", "1:28"]


def test_file_without_repeats(tmp_path):
    path = write(tmp_path, "none.txt", "nothing repeats here")
    assert run(path) == (0, "no repeated phrases\n", "")
    assert run_json(path) == []


def test_standard_input(tmp_path):
    text = "Zeta eta theta iota, zeta eta theta iota.\n\U0001d49c zeta eta theta iota"
    code, out, err = run("-", stdin=text.encode())
    assert (code, err) == (0, "")
    assert_table_matches(out.splitlines(), text, _native.find_duplicates(text))
    assert run_json("-", stdin=text.encode()) == _native.find_duplicates(text)


def test_several_files(tmp_path):
    first = write(tmp_path, "a.txt", BASE)
    second = write(tmp_path, "b.txt", "nothing here")
    third_text = "x \U0001f600 one two three four\nand one two three four"
    third = write(tmp_path, "c.txt", third_text)
    stdin_text = "gamma delta epsilon zeta and gamma delta epsilon zeta"
    code, out, err = run(first, second, third, "-", stdin=stdin_text.encode())
    assert (code, err) == (0, "")
    sections = [s for s in out.split("== ") if s]
    assert [s.splitlines()[0] for s in sections] == [str(first), str(second), str(third), "-"]
    assert_table_matches(sections[0].splitlines()[1:], BASE, _native.find_duplicates(BASE))
    assert sections[1].splitlines()[1:] == ["no repeated phrases"]
    assert_table_matches(sections[2].splitlines()[1:], third_text, _native.find_duplicates(third_text))
    assert_table_matches(sections[3].splitlines()[1:], stdin_text, _native.find_duplicates(stdin_text))
    assert run_json(first, second, third, "-", stdin=stdin_text.encode()) == {
        str(first): _native.find_duplicates(BASE),
        str(second): [],
        str(third): _native.find_duplicates(third_text),
        "-": _native.find_duplicates(stdin_text),
    }


# ---------------------------------------------------------------------------------------------
# Options
# ---------------------------------------------------------------------------------------------

OPTION_TEXT = (
    "Alpha beta  gamma delta epsilon, and alpha beta gamma delta epsilon.\n"
    "one two three one two three; ALPHA BETA GAMMA DELTA EPSILON\n"
    "x\u00e9 y\U0001d49c zz x\u00e9 y\U0001d49c zz; a bb cc dd, a bb cc dd\n"
) * 2 + " ".join(f"w{i}q" for i in range(80)) * 2


@pytest.mark.parametrize(
    "options,normalized,kwargs",
    [
        ([], None, {}),
        (["--min-words", "3"], None, dict(min_words=3)),
        (["--min-words", "0", "--min-words-in-substring", "1"], None, dict(min_words=0, min_words_in_substring=1)),
        (["--min-chars", "4"], None, dict(min_chars=4)),
        (["--max-words", "5"], None, dict(max_words=5)),
        (["--min-words-in-substring", "5"], None, dict(min_words_in_substring=5)),
        (["--blocks"], None, dict(enable_block_detection=True)),
        (["--blocks", "--max-words", "6"], None, dict(enable_block_detection=True, max_words=6)),
        (["--ignore-case"], (True, False), {}),
        (["--collapse-whitespace"], (False, True), {}),
        (["--ignore-case", "--collapse-whitespace", "--min-words", "3", "--blocks", "--max-words", "6"], (True, True),
         dict(min_words=3, enable_block_detection=True, max_words=6)),
    ],
)
def test_options_are_passed_through(tmp_path, options, normalized, kwargs):
    path = write(tmp_path, "text.txt", OPTION_TEXT)
    if normalized is None:
        expected = _native.find_duplicates(OPTION_TEXT, **kwargs)
    else:
        expected = _native.find_duplicates_normalized(OPTION_TEXT, *normalized, **kwargs)
    assert expected != _native.find_duplicates(OPTION_TEXT) or not options
    actual = run_json(*options, path)
    if kwargs.get("enable_block_detection"):
        # equal-length blocks have no defined order among themselves
        key = lambda r: json.dumps(r, sort_keys=True)  # noqa: E731
        assert [r["string_length"] for r in actual] == [r["string_length"] for r in expected]
        assert sorted(actual, key=key) == sorted(expected, key=key)
    else:
        assert actual == expected


@pytest.mark.parametrize("option", ["--min-words", "--min-chars", "--max-words", "--min-words-in-substring"])
def test_negative_numbers_are_refused(tmp_path, option):
    code, out, err = run(option, "-1", write(tmp_path, "t.txt", BASE))
    assert code == 2 and out == ""
    assert f"{option} must not be negative" in err


# ---------------------------------------------------------------------------------------------
# Line and column positions
# ---------------------------------------------------------------------------------------------

def test_positions_count_characters_across_lines_and_astral_characters(tmp_path):
    text = ("\U0001d49c\U0001d49c alpha beta gamma delta\n"
            "\U0001f600 x alpha beta gamma delta\n\n"
            "\u00e9\U0001d49c\u00e9 alpha beta gamma delta")
    code, out, err = run(write(tmp_path, "astral.txt", text))
    assert (code, err) == (0, "")
    rows = parse_table(out.splitlines())
    assert rows == [(3, 4, "alpha beta gamma delta", ["1:4", "2:5", "4:5"])]


def test_positions_beyond_eight_occurrences_are_summarised(tmp_path):
    text = "\n".join(f"{'𝒜' * i} alpha beta gamma delta" for i in range(11))
    code, out, err = run(write(tmp_path, "many.txt", text))
    assert (code, err) == (0, "")
    rows = parse_table(out.splitlines())
    assert rows == [(11, 4, "alpha beta gamma delta", [f"{i + 1}:{i + 2 if i else 2}" for i in range(8)] + ["+3 more"])]


def test_positions_with_crlf_and_collapsed_whitespace(tmp_path):
    text = "one\r\n\U0001d49c  alpha  beta gamma delta\r\nxx alpha beta gamma  delta\r\n"
    path = write(tmp_path, "crlf.txt", text)
    code, out, err = run("--collapse-whitespace", path)
    assert (code, err) == (0, "")
    results = _native.find_duplicates_normalized(text, collapse_whitespace=True)
    assert_table_matches(out.splitlines(), text, results)
    assert parse_table(out.splitlines())[0][3] == ["2:4", "3:4"]


# ---------------------------------------------------------------------------------------------
# Errors
# ---------------------------------------------------------------------------------------------

def test_missing_file(tmp_path):
    missing = tmp_path / "missing.txt"
    code, out, err = run(missing)
    assert (code, out) == (1, "")
    assert err == f"quarnel: error: cannot read {missing}: No such file or directory\n"


def test_directory_instead_of_file(tmp_path):
    code, out, err = run(tmp_path)
    assert (code, out) == (1, "")
    assert err.startswith(f"quarnel: error: cannot read {tmp_path}: ")


@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0, reason="root reads unreadable files")
def test_unreadable_file(tmp_path):
    path = write(tmp_path, "secret.txt", BASE)
    path.chmod(0)
    try:
        code, out, err = run(path)
    finally:
        path.chmod(0o600)
    assert (code, out) == (1, "")
    assert err == f"quarnel: error: cannot read {path}: Permission denied\n"


@pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="needs Linux /proc")
def test_file_that_fails_while_reading():
    # opening works, reading address 0 of the process's own memory fails with an I/O error
    code, out, err = run("/proc/self/mem")
    assert (code, out) == (1, "")
    assert err == "quarnel: error: cannot read /proc/self/mem: Input/output error\n"


@pytest.mark.parametrize(
    "content,offset,byte",
    [(b"abc \xff def", 4, 0xFF), (b"\xc3", 0, 0xC3), ("\u00e9t\u00e9 ".encode() + b"\xed\xa0\x80", 6, 0xED)],
)
def test_non_utf8_file(tmp_path, content, offset, byte):
    path = write(tmp_path, "latin.txt", content)
    code, out, err = run(path)
    assert (code, out) == (1, "")
    assert err == f"quarnel: error: {path} is not valid UTF-8 (byte 0x{byte:02x} at offset {offset})\n"
    code, out, err = run("--json", "-", stdin=content)
    assert (code, out) == (1, "")
    assert err == f"quarnel: error: standard input is not valid UTF-8 (byte 0x{byte:02x} at offset {offset})\n"


def test_one_bad_input_among_several_prints_nothing(tmp_path):
    good = write(tmp_path, "good.txt", BASE)
    bad = write(tmp_path, "bad.txt", b"\x80")
    for args in ((good, bad), (bad, good), ("--json", good, bad), (good, tmp_path / "gone.txt")):
        code, out, err = run(*args)
        assert code == 1 and out == ""
        assert err.startswith("quarnel: error: ") and err.count("\n") == 1
