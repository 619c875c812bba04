"""The command line's native row writer against a plain Python writer of each format.

The oracle formats one row at a time with f-strings, json's own string encoder and html.escape,
as the command line did before its rows were written natively; random columns, names and texts
(control characters, astral characters, every white space str.split knows, markup, surrogate
escapes in names) must come out byte for byte the same.
"""

import csv
import html
import io
import json
import os
import random
import subprocess
import sys
from json.encoder import encode_basestring

import numpy as np
import pytest

from quarnel import _corpus
from quarnel._report import write_bytes, written_names

STYLES = ("json", "jsonl", "passages", "phrases", "html", "csv", "sarif")
SPACES = [chr(c) for c in range(0x110000) if chr(c).isspace()]
NEAR_SPACES = ["\u200b", "\u180e", "\ufeff", "\x00", "\x7f"]
OTHERS = ['"', "\\", "<", ">", "&", "'", "%", "\x01", "\x1f", "\b", "\f", "\u00e9", "\u2026",
          "\u4e2d", "\U0001d49c", "\U0001f600", "\u2028"]


# --- the oracle ---------------------------------------------------------------------------

def flat(text, width=60):
    text = " ".join(text[: width * 8].split())
    return text if len(text) <= width else text[: width - 1] + "\u2026"


def place(name, line, column, end_line=None, end_column=None):
    if end_line is None:
        return f"{name}:{line}:{column}"
    return f"{name}:{line}:{column}-{end_line}:{end_column}"


def json_name(name):
    return "null" if name is None else encode_basestring(name)


def json_group(g, rows, c, names, texts, prefix):  # noqa: ARG001 (c["count"] is the count)
    occurrences = ",".join(
        f'{{"file":{json_name(names[c["document"][r]])},"document":{c["document"][r]},'
        f'"start":{c["start"][r]},"end":{c["end"][r]},'
        f'"line":{c["line"][r]},"column":{c["column"][r]},"end_line":{c["end_line"][r]},'
        f'"end_column":{c["end_column"][r]}}}' for r in rows)
    return (f'{{{prefix}"text":{encode_basestring(texts[g])},"count":{c["count"][g]},'
            f'"words":{c["words"][g]},"chars":{c["chars"][g]},"occurrences":[{occurrences}]}}')


def full_place(c, names, r):
    return place(names[c["document"][r]], c["line"][r], c["column"][r], c["end_line"][r],
                 c["end_column"][r])


def highlighted(text, start, end):
    esc = html.escape
    if end - start <= 1200:
        marked = f"<mark>{esc(text[start:end])}</mark>"
    else:
        marked = (f"<mark>{esc(text[start:start + 500])}</mark>"
                  f"<span class=\"gap\">[\u2026 {end - start - 1000:,} characters \u2026]</span>"
                  f"<mark>{esc(text[end - 500:end])}</mark>")
    return f"{esc(text[max(0, start - 160):start])}{marked}{esc(text[end:end + 160])}"


def html_group(g, rows, c, names, texts, documents):
    n = c["count"][g]
    cards = "".join(
        f"<div class=\"card\"><h3>{html.escape(full_place(c, names, r))}</h3><pre "
        f"class=\"occurrence\" data-document=\"{c['document'][r]}\" data-start=\"{c['start'][r]}\" "
        f"data-end=\"{c['end'][r]}\">"
        f"{highlighted(documents[c['document'][r]], c['start'][r], c['end'][r])}</pre></div>"
        for r in rows[:6])
    more = ""
    if n > len(rows[:6]):
        listed = rows[6:106]
        items = "".join(f"<li>{html.escape(full_place(c, names, r))}</li>" for r in listed)
        if n > len(rows[:6]) + len(listed):
            items += (f"<li>\u2026 and {n - len(rows[:6]) - len(listed):,} more (all are in "
                      f"--format json)</li>")
        more = f"<p>{n - len(rows[:6]):,} more places:</p><ul class=\"more\">{items}</ul>"
    return (f"<details class=\"group\" id=\"g{g}\"><summary><b>{c['words'][g]:,} words</b>, "
            f"{n:,} places <span class=\"meta\">{html.escape(flat(texts[g], 100))}</span>"
            f"</summary><div class=\"cards\">{cards}</div>{more}</details>\n")


def csv_field(text):
    out = io.StringIO()
    csv.writer(out).writerow([text])
    return out.getvalue()[:-2] if text else ""  # without the line end; "" only in a row alone


def sarif_location(c, names, r):
    uri = names[c["document"][r]]
    return (f'"physicalLocation":{{"artifactLocation":{{"uri":{uri}}},"region":{{'
            f'"startLine":{c["line"][r]},"startColumn":{c["column"][r]},'
            f'"endLine":{c["end_line"][r]},"endColumn":{c["end_column"][r] + 1}}}}}')


def sarif_group(g, rows, c, names, texts, noun):
    message = (f"Repeated {noun} of {c['words'][g]:,} words, {c['count'][g]:,} places; the "
               f"first is [here](1): {flat(texts[g])}")
    return "".join(
        f',\n{{"ruleId":"repeated-{noun}","level":"warning","message":{{"text":'
        f'{encode_basestring(message)}}},"locations":[{{{sarif_location(c, names, r)}}}],'
        f'"relatedLocations":[{{"id":1,{sarif_location(c, names, rows[0])},"message":{{"text":'
        f'"the first place"}}}}]}}' for r in rows[1:])


def oracle(style, c, names, texts, documents, g0, g1, prefix):
    """`names` as the style writes them for csv and sarif, the names themselves otherwise."""
    out = []
    for g in range(g0, g1):
        rows = range(c["first"][g], c["first"][g + 1])
        n = c["count"][g]
        if style == "json":
            out.append(("\n" if g == 0 else ",\n") + json_group(g, rows, c, names, texts, prefix))
        elif style == "jsonl":
            out.append(json_group(g, rows, c, names, texts, prefix) + "\n")
        elif style == "passages":
            out.append(f"{c['words'][g]:>7}  {n:>5}  {flat(texts[g])}\n")
            out += [" " * 16 + full_place(c, names, r) + "\n" for r in rows]
            if n > len(rows):
                out.append(" " * 16 + f"+{n - len(rows):,} more places\n")
        elif style == "phrases":
            where = ", ".join(place(names[c["document"][r]], c["line"][r], c["column"][r])
                              for r in rows[:8])
            if n > len(rows[:8]):
                where += f", +{n - len(rows[:8])} more"
            out.append(f"{c['chars'][g]:>7}  {n:>5}  {c['words'][g]:>5}  "
                       f"{flat(texts[g]):<60}  {where}\n")
        elif style == "csv":
            out += [f"{g},{n},{c['words'][g]},{c['chars'][g]},{names[c['document'][r]]},"
                    f"{c['document'][r]},{c['start'][r]},{c['end'][r]},{c['line'][r]},"
                    f"{c['column'][r]},{c['end_line'][r]},{c['end_column'][r]},"
                    f"{csv_field(texts[g]) if r == rows[0] else ''}\r\n" for r in rows]
        elif style == "sarif":
            out.append(sarif_group(g, rows, c, names, texts, prefix))
        else:
            out.append(html_group(g, rows, c, names, texts, documents))
    return "".join(out)


# --- random inputs ------------------------------------------------------------------------

def random_text(rng, length):
    alphabet = ["a", "b", "c", " ", "\n"] * 6 + SPACES + NEAR_SPACES + OTHERS
    return "".join(rng.choice(alphabet) for _ in range(length))


def random_name(rng, k):
    name = f"dir/{k}-" + random_text(rng, rng.randrange(8))
    if rng.random() < 0.3:  # a file name that was not UTF-8, read with surrogate escapes
        name += chr(0xDC80 + rng.randrange(128))
    return None if rng.random() < 0.05 else name


def random_corpus(rng):
    documents = [random_text(rng, rng.choice([0, 5, 300, 3000])) for _ in range(rng.randint(1, 5))]
    names = [random_name(rng, k) for k in range(len(documents))]
    counts = [rng.choice([1, 2, 6, 7, 9, 106, 107, 130]) for _ in range(rng.randint(0, 12))]
    # some texts start with more white space than a preview's first try reads
    texts = [" \n" * rng.choice([0, 0, 70, 250])
             + random_text(rng, rng.choice([0, 3, 59, 60, 61, 200, 700])) for _ in counts]
    first = np.concatenate([[0], np.cumsum(counts, dtype=np.int64)]).astype(np.int64)
    # a report may show fewer places of a group than it has
    exact = [n + rng.choice([0, 0, 1, 120]) for n in counts]
    rows = int(first[-1])
    document = np.array([rng.randrange(len(documents)) for _ in range(rows)], dtype=np.int64)
    start = np.zeros(rows, dtype=np.int64)
    end = np.zeros(rows, dtype=np.int64)
    for r in range(rows):
        size = len(documents[document[r]])
        start[r] = rng.randint(0, size)
        end[r] = rng.randint(start[r], size)
    columns = {
        "first": first,
        "words": np.array([rng.randrange(10**7) for _ in counts], dtype=np.int64),
        "chars": np.array([rng.randrange(10**7) for _ in counts], dtype=np.int64),
        "count": np.array(exact, dtype=np.int64),
        "document": document, "start": start, "end": end,
        **{key: np.array([rng.randrange(1, 10**6) for _ in range(rows)], dtype=np.int64)
           for key in ("line", "column", "end_line", "end_column")},
    }
    return columns, names, texts, documents


KEYS = ("first", "words", "chars", "document", "start", "end", "line", "column", "end_line",
        "end_column", "count")


def native_chunks(style, columns, names, texts, documents, g0, g1, prefix=""):
    """Each call's bytes, the calls going on from the group the last one stopped before."""
    names = written_names(names, style)
    chunks = []
    while True:
        data, g0 = _corpus._format_groups(style, tuple(columns[k] for k in KEYS), names, texts,
                                          documents, g0, g1, prefix)
        chunks.append(data)
        if g0 == g1:
            return chunks


def native(style, columns, names, texts, documents, g0, g1, prefix=""):
    chunks = native_chunks(style, columns, names, texts, documents, g0, g1, prefix)
    return b"".join(chunks).decode("utf-8", "surrogateescape")


@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("seed", range(6))
def test_rows_match_the_python_writer(style, seed):
    rng = random.Random(seed)
    columns, names, texts, documents = random_corpus(rng)
    lists = {k: v.tolist() for k, v in columns.items()}
    prefix = {"jsonl": '"type":"passage",', "sarif": "passage"}.get(style, "")
    written = [n.decode("utf-8", "surrogateescape") for n in written_names(names, style)]
    g0 = rng.randint(0, len(texts))
    for lo, hi in ((0, len(texts)), (g0, len(texts))):
        assert native(style, columns, names, texts, documents, lo, hi, prefix) == \
            oracle(style, lists, written if style in ("csv", "sarif") else names, texts,
                   documents, lo, hi, prefix)


def good_call(**changes):
    columns, names, texts, documents = random_corpus(random.Random(3))
    while not texts:
        columns, names, texts, documents = random_corpus(random.Random(len(names) + 10))
    args = dict(style="html", columns=tuple(columns[k] for k in KEYS),
                names=[b"n"] * len(names), texts=texts, documents=documents, start=0,
                end=len(texts), prefix="")
    args.update(changes)
    return args


def replaced(columns, key, value):
    return tuple(value if k == key else c for k, c in zip(KEYS, columns))


@pytest.mark.parametrize("change, error", [
    (lambda a: dict(style="xml"), ValueError),
    (lambda a: dict(end=len(a["texts"]) + 1), ValueError),
    (lambda a: dict(start=1, end=0), ValueError),
    (lambda a: dict(columns=a["columns"][:10]), ValueError),
    (lambda a: dict(columns=replaced(a["columns"], "count", a["columns"][10][1:])), ValueError),
    (lambda a: dict(columns=replaced(a["columns"], "start", a["columns"][4].astype(np.int32))),
     ValueError),
    (lambda a: dict(columns=replaced(a["columns"], "first", a["columns"][0][::-1].copy())),
     ValueError),
    (lambda a: dict(columns=replaced(a["columns"], "line", a["columns"][6][1:])), ValueError),
    (lambda a: dict(columns=replaced(a["columns"], "document", a["columns"][3] + 100)),
     ValueError),
    (lambda a: dict(columns=replaced(a["columns"], "end", a["columns"][5] + 10**6)), ValueError),
    (lambda a: dict(names=["n"] * len(a["names"])), TypeError),
    (lambda a: dict(names=[None] * len(a["names"])), TypeError),
    (lambda a: dict(texts=[b"t"] * len(a["texts"])), TypeError),
    (lambda a: dict(texts=["\ud800"] * len(a["texts"])), ValueError),
])
def test_bad_columns_are_refused(change, error):
    args = good_call()
    assert _corpus._format_groups(**args)[1] == args["end"]
    with pytest.raises(error):
        _corpus._format_groups(**{**args, **change(args)})


@pytest.mark.parametrize("style", STYLES)
def test_large_reports_come_a_megabyte_at_a_time(style):
    rng = random.Random(11)
    documents = [random_text(rng, 2000)]
    names = ["n" * 2000 + "\u00e9"]
    groups, per_group = 6000, 2  # the first calls take two lanes, the last ones one
    rows = groups * per_group
    columns = {"first": np.arange(0, rows + 1, per_group, dtype=np.int64),
               "words": np.arange(groups, dtype=np.int64),
               "chars": np.arange(groups, dtype=np.int64),
               "count": np.full(groups, per_group, dtype=np.int64),
               "document": np.zeros(rows, dtype=np.int64),
               "start": np.arange(rows, dtype=np.int64) % 1500,
               "end": np.arange(rows, dtype=np.int64) % 1500 + 300,
               **{k: np.arange(rows, dtype=np.int64) for k in KEYS[6:10]}}
    texts = [f"group {g}" for g in range(groups)]
    chunks = native_chunks(style, columns, names, texts, documents, 0, groups)
    assert len(chunks) > 2
    assert all(len(c) >= 1 << 20 for c in chunks[:-1])
    # A megabyte and the group that passes the mark; with two lanes about two, as estimated.
    assert all(len(c) < 5 << 19 for c in chunks)
    two_lanes = os.cpu_count() > 1 and os.environ.get("QUARNEL_NUM_THREADS") != "1"
    assert (len(chunks[0]) > 3 << 19) == two_lanes
    lists = {k: v.tolist() for k, v in columns.items()}
    if style in ("csv", "sarif"):
        names = [n.decode() for n in written_names(names, style)]
    assert b"".join(chunks).decode() == oracle(style, lists, names, texts, documents, 0, groups, "")


@pytest.mark.parametrize("with_buffer", [True, False])
def test_bytes_follow_the_text_already_written(with_buffer):
    raw = io.BytesIO()
    out = io.TextIOWrapper(raw, encoding="utf-8", errors="surrogateescape") if with_buffer \
        else io.StringIO()
    out.write("head \u00e9 ")
    write_bytes(out, "tail \u00e9 ".encode() + b"\xff")
    out.flush()
    text = raw.getvalue().decode("utf-8", "surrogateescape") if with_buffer else out.getvalue()
    assert text == "head \u00e9 tail \u00e9 \udcff"


def test_awkward_file_names_come_out_as_each_format_writes_them(tmp_path):
    """A name with a byte that is not UTF-8, a quote, markup and a tab: JSON escapes it and keeps
    the byte, HTML escapes its markup, the table writes it as it is."""
    shared = "one two three four five six seven eight nine ten eleven twelve. "
    raw_name = b'odd "<b>\tname\xff.txt'
    os.makedirs(tmp_path / "in")
    with open(os.path.join(os.fsencode(tmp_path / "in"), raw_name), "wb") as f:
        f.write(shared.encode() * 2)
    (tmp_path / "in" / "plain.txt").write_text("\u00e9 " + shared)
    name = os.fsdecode(os.path.join(os.fsencode(tmp_path / "in"), raw_name))

    def run(fmt):
        proc = subprocess.run([sys.executable, "-m", "quarnel", "passages", "--format", fmt,
                               "--min-words", "4", tmp_path / "in"], capture_output=True)
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    out = run("json")
    assert b'odd \\"<b>\\tname\xff.txt' in out  # the byte itself, not an escape of it
    report = json.loads(out.decode("utf-8", "surrogateescape"))
    places = [o["file"] for p in report["passages"] for o in p["occurrences"]]
    assert name in places and [f["file"] for f in report["files"]][0] == name
    lines = run("jsonl").decode("utf-8", "surrogateescape").split("\n")[:-1]
    assert [r for r in map(json.loads, lines) if r["type"] == "passage"] == \
        [dict(p, type="passage") for p in report["passages"]]
    assert f"                {name}:1:1-" in run("table").decode("utf-8", "surrogateescape")
    page = run("html").decode("utf-8", "surrogateescape")
    assert f"<h3>{html.escape(name)}:1:1-" in page
