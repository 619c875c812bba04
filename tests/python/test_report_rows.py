"""The command line's native row writer against a plain Python writer of each format.

The oracle formats one row at a time with f-strings, json's own encoder and html.escape, as the
command line did before its rows were written natively; random columns, names and texts (control
characters, astral characters, every white space str.split knows, markup, surrogate escapes in
names) must come out byte for byte the same.
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
from types import SimpleNamespace

import numpy as np
import pytest

from quarnel import _corpus
from quarnel._report import write_bytes, written_names

STYLES = ("json", "jsonl", "passages", "phrases", "html", "csv", "sarif")
KEYS = ("first", "words", "chars", "document", "start", "end", "line", "column", "end_line")
KEYS += ("end_column", "count")
SPACES = [chr(c) for c in range(0x110000) if chr(c).isspace()]
NEAR_SPACES = list("\u200b\u180e\ufeff\x00\x7f")
OTHERS = list("\"\\<>&'%\x01\x1f\b\f\u00e9\u2026\u4e2d\U0001d49c\U0001f600\u2028")


# --- the oracle ------------------------------------------------------------------------------
def flat(text, width=60):
    text = " ".join(text[: width * 8].split())
    return text if len(text) <= width else text[: width - 1] + "\u2026"


def places_of(c, names, g):
    fields = [{k: c[k][r] for k in KEYS[3:10]} for r in range(c["first"][g], c["first"][g + 1])]
    return [SimpleNamespace(name=names[f["document"]], **f) for f in fields]


def where(o, ends=True):
    return f"{o.name}:{o.line}:{o.column}" + (f"-{o.end_line}:{o.end_column}" if ends else "")


def json_group(g, places, c, texts, prefix):
    row = lambda o: {"file": o.name, **{k: getattr(o, k) for k in KEYS[3:10]}}  # noqa: E731
    group = {"text": texts[g], **{k: c[k][g] for k in ("count", "words", "chars")}}
    group["occurrences"] = [row(o) for o in places]
    return "{" + prefix + json.dumps(group, ensure_ascii=False, separators=(",", ":"))[1:]


def highlighted(text, start, end):
    esc = html.escape
    if end - start <= 1200:
        marked = f"<mark>{esc(text[start:end])}</mark>"
    else:
        gap = f'<span class="gap">[\u2026 {end - start - 1000:,} characters \u2026]</span>'
        marked = f"<mark>{esc(text[start : start + 500])}</mark>{gap}"
        marked += f"<mark>{esc(text[end - 500 : end])}</mark>"
    return f"{esc(text[max(0, start - 160) : start])}{marked}{esc(text[end : end + 160])}"


def html_group(g, places, c, texts, documents):
    n, shown, listed = c["count"][g], places[:6], places[6:106]
    cards = "".join(
        f'<div class="card"><h3>{html.escape(where(o))}</h3><pre class="occurrence" '
        f'data-document="{o.document}" data-start="{o.start}" data-end="{o.end}">'
        f"{highlighted(documents[o.document], o.start, o.end)}</pre></div>"
        for o in shown
    )
    more = ""
    if n > len(shown):
        items = "".join(f"<li>{html.escape(where(o))}</li>" for o in listed)
        if n > len(shown) + len(listed):
            rest = n - len(shown) - len(listed)
            items += f"<li>\u2026 and {rest:,} more (all are in --format json)</li>"
        more = f'<p>{n - len(shown):,} more places:</p><ul class="more">{items}</ul>'
    return (
        f'<details class="group" id="g{g}"><summary><b>{c["words"][g]:,} words</b>, '
        f'{n:,} places <span class="meta">{html.escape(flat(texts[g], 100))}</span>'
        f'</summary><div class="cards">{cards}</div>{more}</details>\n'
    )


def csv_field(text):
    out = io.StringIO()
    csv.writer(out).writerow([text])
    return out.getvalue()[:-2] if text else ""  # without the line end; "" only in a row alone


def sarif_group(g, places, c, texts, noun):
    def location(o):
        region = f'"startLine":{o.line},"startColumn":{o.column},'
        region += f'"endLine":{o.end_line},"endColumn":{o.end_column + 1}'
        return f'"physicalLocation":{{"artifactLocation":{{"uri":{o.name}}},"region":{{{region}}}}}'

    if len(places) < 2:
        return ""
    message = f"Repeated {noun} of {c['words'][g]:,} words, {c['count'][g]:,} places; the "
    message = encode_basestring(message + f"first is [here](1): {flat(texts[g])}")
    first = f'"relatedLocations":[{{"id":1,{location(places[0])},"message":{{"text":'
    return "".join(
        f',\n{{"ruleId":"repeated-{noun}","level":"warning","message":{{"text":{message}}},'
        f'"locations":[{{{location(o)}}}],{first}"the first place"}}}}]}}'
        for o in places[1:]
    )


def oracle(style, c, names, texts, documents, g0, g1, prefix):
    """`names` as the style writes them for csv and sarif, the names themselves otherwise."""
    out = []
    for g in range(g0, g1):
        places, n = places_of(c, names, g), c["count"][g]
        if style == "json":
            out.append(("\n" if g == 0 else ",\n") + json_group(g, places, c, texts, prefix))
        elif style == "jsonl":
            out.append(json_group(g, places, c, texts, prefix) + "\n")
        elif style == "passages":
            out.append(f"{c['words'][g]:>7}  {n:>5}  {flat(texts[g])}\n")
            out += [" " * 16 + where(o) + "\n" for o in places]
            if n > len(places):
                out.append(" " * 16 + f"+{n - len(places):,} more places\n")
        elif style == "phrases":
            at = ", ".join(where(o, False) for o in places[:8])
            at += f", +{n - len(places[:8])} more" if n > len(places[:8]) else ""
            head = f"{c['chars'][g]:>7}  {n:>5}  {c['words'][g]:>5}"
            out.append(f"{head}  {flat(texts[g]):<60}  {at}\n")
        elif style == "csv":
            for k, o in enumerate(places):
                row = [g, n, c["words"][g], c["chars"][g], o.name]
                row += [getattr(o, key) for key in KEYS[3:10]]
                out.append(",".join(map(str, row)) + f",{'' if k else csv_field(texts[g])}\r\n")
        elif style == "sarif":
            out.append(sarif_group(g, places, c, texts, prefix))
        else:
            out.append(html_group(g, places, c, texts, documents))
    return "".join(out)


# --- random inputs ---------------------------------------------------------------------------
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
    lead = lambda: " \n" * rng.choice([0, 0, 70, 250])  # noqa: E731
    texts = [lead() + random_text(rng, rng.choice([0, 3, 59, 60, 61, 200, 700])) for _ in counts]
    first = np.concatenate([[0], np.cumsum(counts, dtype=np.int64)]).astype(np.int64)
    # a report may show fewer places of a group than it has
    exact = [n + rng.choice([0, 0, 1, 120]) for n in counts]
    rows = int(first[-1])
    document = np.array([rng.randrange(len(documents)) for _ in range(rows)], dtype=np.int64)
    start, end = np.zeros(rows, dtype=np.int64), np.zeros(rows, dtype=np.int64)
    for r in range(rows):
        start[r] = rng.randint(0, len(documents[document[r]]))
        end[r] = rng.randint(start[r], len(documents[document[r]]))
    numbers = lambda n, top: np.array([rng.randrange(*top) for _ in range(n)], dtype=np.int64)  # noqa: E731
    columns = dict(first=first, words=numbers(len(counts), (10**7,)))
    columns.update(chars=numbers(len(counts), (10**7,)), count=np.array(exact, dtype=np.int64))
    columns.update(document=document, start=start, end=end)
    columns.update({key: numbers(rows, (1, 10**6)) for key in KEYS[6:10]})
    return columns, names, texts, documents


def native_chunks(style, columns, names, texts, documents, g0, g1, prefix=""):
    """Each call's bytes, the calls going on from the group the last one stopped before."""
    names, columns, chunks = written_names(names, style), tuple(columns[k] for k in KEYS), []
    while True:
        args = (style, columns, names, texts, documents, g0, g1, prefix)
        data, g0 = _corpus._format_groups(*args)
        chunks.append(data)
        if g0 == g1:
            return chunks


@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("seed", range(6))
def test_rows_match_the_python_writer(style, seed):
    rng = random.Random(seed)
    columns, names, texts, documents = random_corpus(rng)
    lists = {k: v.tolist() for k, v in columns.items()}
    prefix = {"jsonl": '"type":"passage",', "sarif": "passage"}.get(style, "")
    if style in ("csv", "sarif"):
        written = [n.decode("utf-8", "surrogateescape") for n in written_names(names, style)]
    g0 = rng.randint(0, len(texts))
    for lo, hi in ((0, len(texts)), (g0, len(texts))):
        chunks = native_chunks(style, columns, names, texts, documents, lo, hi, prefix)
        expected = oracle(style, lists, written if style in ("csv", "sarif") else names, texts,
                          documents, lo, hi, prefix)  # fmt: skip
        assert b"".join(chunks).decode("utf-8", "surrogateescape") == expected


def column(key, edit):
    return lambda a: dict(columns=tuple(edit(c) if k == key else c for k, c in zip(KEYS, a["columns"])))  # fmt: skip


@pytest.mark.parametrize("change, error", [
    (lambda a: dict(style="xml"), ValueError),
    (lambda a: dict(end=len(a["texts"]) + 1), ValueError),
    (lambda a: dict(start=1, end=0), ValueError),
    (lambda a: dict(columns=a["columns"][:10]), ValueError),
    (column("count", lambda v: v[1:]), ValueError),
    (column("start", lambda v: v.astype(np.int32)), ValueError),
    (column("first", lambda v: v[::-1].copy()), ValueError),
    (column("line", lambda v: v[1:]), ValueError),
    (column("document", lambda v: v + 100), ValueError),
    (column("end", lambda v: v + 10**6), ValueError),
    (lambda a: dict(names=["n"] * len(a["names"])), TypeError),
    (lambda a: dict(names=[None] * len(a["names"])), TypeError),
    (lambda a: dict(texts=[b"t"] * len(a["texts"])), TypeError),
    (lambda a: dict(texts=["\ud800"] * len(a["texts"])), ValueError),
])  # fmt: skip
def test_bad_columns_are_refused(change, error):
    columns, names, texts, documents = random_corpus(random.Random(3))
    while not texts:
        columns, names, texts, documents = random_corpus(random.Random(len(names) + 10))
    args = dict(style="html", columns=tuple(columns[k] for k in KEYS), names=[b"n"] * len(names))
    args.update(texts=texts, documents=documents, start=0, end=len(texts), prefix="")
    assert _corpus._format_groups(**args)[1] == args["end"]
    with pytest.raises(error):
        _corpus._format_groups(**{**args, **change(args)})


@pytest.mark.parametrize("style", STYLES)
def test_large_reports_come_a_megabyte_at_a_time(style):
    documents, names = [random_text(random.Random(11), 2000)], ["n" * 2000 + "\u00e9"]
    groups, per_group = 6000, 2  # the first calls take two lanes, the last ones one
    rows = np.arange(groups * per_group, dtype=np.int64)
    columns = dict(first=np.arange(0, rows.size + 1, per_group, dtype=np.int64))
    columns.update(words=np.arange(groups, dtype=np.int64), chars=np.arange(groups, dtype=np.int64))
    columns.update(count=np.full(groups, per_group, dtype=np.int64), document=rows * 0)
    columns.update(start=rows % 1500, end=rows % 1500 + 300, **dict.fromkeys(KEYS[6:10], rows))
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
    wrapper = io.TextIOWrapper(raw, encoding="utf-8", errors="surrogateescape")
    out = wrapper if with_buffer else io.StringIO()
    out.write("head \u00e9 ")
    write_bytes(out, "tail \u00e9 ".encode() + b"\xff")
    out.flush()
    text = raw.getvalue().decode("utf-8", "surrogateescape") if with_buffer else out.getvalue()
    assert text == "head \u00e9 tail \u00e9 \udcff"


def test_awkward_file_names_come_out_as_each_format_writes_them(tmp_path):
    """A name with a byte that is not UTF-8, a quote, markup and a tab: JSON (and JSON lines, the
    same writer) escapes it and keeps the byte, HTML escapes its markup, the table writes it as it
    is."""
    shared = "one two three four five six seven eight nine ten eleven twelve. "
    folder = os.fsencode(tmp_path / "in")
    os.makedirs(folder)
    name = os.path.join(folder, b'odd "<b>\tname\xff.txt')
    with open(name, "wb") as f:
        f.write(shared.encode() * 2)
    (tmp_path / "in" / "plain.txt").write_text("\u00e9 " + shared)
    name = os.fsdecode(name)

    def run(fmt):
        argv = [sys.executable, "-m", "quarnel", "passages", "--min-words", "4", folder]
        proc = subprocess.run([*argv, "--format", fmt], capture_output=True)
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    out = run("json")
    assert b'odd \\"<b>\\tname\xff.txt' in out  # the byte itself, not an escape of it
    report = json.loads(out.decode("utf-8", "surrogateescape"))
    places = [o["file"] for p in report["passages"] for o in p["occurrences"]]
    assert name in places and [f["file"] for f in report["files"]][0] == name
    assert f"                {name}:1:1-" in run("table").decode("utf-8", "surrogateescape")
    assert f"<h3>{html.escape(name)}:1:1-" in run("html").decode("utf-8", "surrogateescape")
