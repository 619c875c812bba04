"""quarnel.dedup end to end: the whole pipeline against find_passages, the Dask engine against
the local one, and the dedup command."""

import importlib.util
import json
import logging
import os
import random
import re
import subprocess
import sys

import numpy as np
import pytest

import quarnel
from quarnel.cleaning import REPEAT

WORD = re.compile(r"[0-9A-Za-z\x80-\U0010ffff]+")
WORDS, GAPS = ("a", "b", "ab", "B", "é", "日本"), (" ", "  ", ", ", ".\n")
SPAN_COLUMNS = ["document", "start", "end", "why", "kept_document", "kept_start"]


def random_corpus(rng, documents):
    docs = []
    for _ in range(documents):
        n = rng.choice([0, 1, 3, 10, 30, 60])
        text = "".join(rng.choice(WORDS) + rng.choice(GAPS) for _ in range(n))
        if docs and rng.random() < 0.5:
            src = rng.choice(docs)
            a, b = sorted(rng.randrange(len(src) + 1) for _ in range(2))
            text = text[: len(text) // 2] + src[a:b] + text[len(text) // 2 :]
        docs.append(text)
    return docs


def removed_by_passages(docs, reference, k, **prep):
    """Per document, the starts of the words the rule removes, read off find_passages: a word
    goes when it lies in a non-first occurrence of a passage of k words or more, or in any
    corpus occurrence of a passage the reference shares."""
    removed = [set() for _ in docs]
    for group in quarnel.find_passages(docs + reference, min_words=k, **prep):
        places = [(o.document, o.start, o.end) for o in group.occurrences]
        corpus = sorted(p for p in places if p[0] < len(docs))
        for d, start, end in corpus if len(corpus) < len(places) else corpus[1:]:
            removed[d].update(m.start() for m in WORD.finditer(docs[d], start, end))
    return removed


@pytest.mark.parametrize("seed", range(6))
def test_dedup_removes_what_find_passages_finds(seed):
    rng = random.Random(seed)
    docs = random_corpus(rng, 12)
    reference = random_corpus(rng, 2) if seed % 2 else []
    prep, k = dict(ignore_case=seed % 3 == 1, collapse_whitespace=seed % 3 == 2), 1 + seed % 4
    names = [f"doc{i}" for i in range(len(docs))]
    result = quarnel.dedup(dict(zip(names, docs)), min_words=k, reference=reference or None, **prep)
    assert result.names == tuple(names)
    expected, spans = removed_by_passages(docs, reference, k, **prep), result.spans
    for d, text in enumerate(docs):
        rows = spans.document == d
        cut = list(zip(spans.start[rows].tolist(), spans.end[rows].tolist()))
        gone = {m.start() for m in WORD.finditer(text) if any(s <= m.start() < e for s, e in cut)}
        assert gone == expected[d], (d, text)
        assert (result.removed_words[d], result.words[d]) == (len(gone), len(WORD.findall(text)))
        bounds = [0, *(x for span in cut for x in span), len(text)]  # what lies between the cuts
        assert result.texts[d] == "".join(text[a:b] for a, b in zip(bounds[::2], bounds[1::2]))
    repeat = spans.why == REPEAT
    firsts = zip(spans.kept_document[repeat], spans.kept_start[repeat])
    for d, s, (kd, ks) in zip(spans.document[repeat], spans.start[repeat], firsts):
        assert (kd, ks) < (d, s) and WORD.match(docs[kd], ks)


def test_first_copy_kept_and_summary():
    page = "the quick brown fox jumps over the lazy dog again and again. "
    result = quarnel.dedup([page * 3, "intro " + page, "other"], min_words=5, drop_below=1)
    assert result.texts == [page.rstrip(), "intro", "other"]
    span = dict(document=0, start=len(page) - 1, end=2 * len(page), why="repeat")
    assert result.spans[0] == dict(span, kept_document=0, kept_start=0)
    summary = result.summary
    assert summary["documents"] == 3 and summary["dropped_documents"] == 0
    assert summary["removed_words"] == int(result.removed_words.sum()) == 2 * 12 + 12


@pytest.mark.parametrize("kwargs, kind, word", [
    ({"min_words": 0}, ValueError, "min_words"),
    ({"min_words": "5"}, TypeError, "min_words"),
    ({"drop_below": -1}, ValueError, "drop_below"),
    ({"ignore_case": 1}, TypeError, "ignore_case"),
    ({"reference": [3]}, TypeError, "documents"),
])  # fmt: skip
def test_bad_parameters_are_named(kwargs, kind, word):
    with pytest.raises(kind, match=word):
        quarnel.dedup(["a b c"], **kwargs)


def test_import_quarnel_imports_no_optional_dependency():
    code = "import sys, quarnel; quarnel.dedup(['a b']); "
    code += "print([m for m in ('dask', 'pandas', 'pyarrow') if m in sys.modules])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


# --- the Dask engine: identical output on a cluster of two worker processes ------------------
@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    options = dict(n_workers=2, threads_per_worker=1, processes=True, silence_logs=logging.ERROR)
    with distributed.LocalCluster(**options) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("kind", ["bag_of_str", "bag_of_dicts", "dataframe", "dataframe_p2p"])
def test_dask_output_is_the_local_output(client, seed, kind):
    import dask
    import dask.bag as db
    import dask.dataframe as dd
    import pandas as pd

    from quarnel import dask as qdask

    rng = random.Random(100 + seed)
    docs = random_corpus(rng, 40) + [""]
    reference = random_corpus(rng, 3) if seed else None
    options = dict(min_words=2 + seed, reference=reference, drop_below=seed, ignore_case=seed == 2)
    # Uneven partitions, some empty: repeats fall within and across them.
    cuts = sorted({0, len(docs), *(rng.randrange(len(docs) + 1) for _ in range(4))})
    chunks = [docs[a:b] for a, b in zip(cuts, cuts[1:])] + [[]]
    if kind.startswith("dataframe"):
        frame = lambda c: pd.DataFrame({"text": pd.Series(c, dtype=object), "n": range(len(c))})  # noqa: E731
        frames = [frame(c) for c in chunks]
        parts = [dask.delayed(f) for f in frames]
        collection = dd.from_delayed(parts, meta=frames[-1], verify_meta=False)
    else:
        dicts = kind == "bag_of_dicts"
        items = [[{"text": t, "id": i} for i, t in enumerate(c)] if dicts else c for c in chunks]
        collection = db.from_delayed([dask.delayed(c) for c in items])
    # Few partitions take the task-based shuffle unless Dask is told otherwise.
    with dask.config.set({"dataframe.shuffle.method": "p2p"} if kind == "dataframe_p2p" else {}):
        cleaned, spans = qdask.dedup(collection, spans=True, **options)
    cleaned, spans = dask.compute(cleaned, spans)
    if kind.startswith("dataframe"):
        texts = cleaned["text"].tolist()
    else:
        texts = [item["text"] for item in cleaned] if kind == "bag_of_dicts" else list(cleaned)
    local = quarnel.dedup(docs, **options)
    assert texts == [t for t, dropped in zip(local.texts, local.dropped) if not dropped]
    s = local.spans
    expected = np.stack([s.document, s.start, s.end, s.why.astype(np.int64), s.kept_document,
                         s.kept_start], axis=1)  # fmt: skip
    np.testing.assert_array_equal(spans[SPAN_COLUMNS].to_numpy(dtype=np.int64), expected)


# --- the command -----------------------------------------------------------------------------
def run_cli(*args):
    argv = [sys.executable, "-m", "quarnel", "dedup", *map(str, args)]
    return subprocess.run(argv, capture_output=True, text=True)


def read_jsonl(path):
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


def test_cli_jsonl_keeps_other_fields_and_matches_the_library_also_on_dask_workers(tmp_path):
    docs = random_corpus(random.Random(7), 30)
    rows = [json.dumps({"id": i, "text": t, "tags": ["x", i / 3]}) for i, t in enumerate(docs)]
    (tmp_path / "in.jsonl").write_text("".join(r + "\n" for r in rows), encoding="utf-8")
    runs = [[], ["--workers", "2"]] if importlib.util.find_spec("distributed") else [[]]
    for k, extra in enumerate(runs):
        out, spans = tmp_path / f"out{k}.jsonl", tmp_path / f"spans{k}.jsonl"
        options = ["--min-words", "3", "--drop-below", "1", "--spans", spans, *extra]
        proc = run_cli(tmp_path / "in.jsonl", "-o", out, *options)
        assert proc.returncode == 0, proc.stderr
        if not extra:
            assert "documents" in proc.stderr and "removed" in proc.stderr
    expected = quarnel.dedup(docs, min_words=3, drop_below=1)
    rows = read_jsonl(tmp_path / "out0.jsonl")
    kept = [d for d in range(len(docs)) if not expected.dropped[d]]
    assert [r["id"] for r in rows] == kept
    assert [r["text"] for r in rows] == [expected.texts[d] for d in kept]
    assert all(r["tags"] == ["x", r["id"] / 3] for r in rows)
    records, s = read_jsonl(tmp_path / "spans0.jsonl"), expected.spans
    places = list(zip(s.document.tolist(), s.start.tolist(), s.end.tolist()))
    assert [(r["document"], r["start"], r["end"]) for r in records] == places
    assert all(r["line"] == r["document"] + 1 for r in records)
    written = lambda k: [(tmp_path / f"{f}{k}.jsonl").read_bytes() for f in ("out", "spans")]  # noqa: E731
    assert all(written(k) == written(0) for k in range(len(runs)))  # on Dask workers the same bytes


@pytest.mark.parametrize("line, message", [
    ("{not json", "in.jsonl:3: not a JSON value"),
    ('{"body": "x"}', "in.jsonl:3: no field 'text'"),
    ('{"text": 5}', "in.jsonl:3: field 'text' is int"),
    ("[1, 2]", "in.jsonl:3: expected a JSON object"),
])  # fmt: skip
def test_cli_bad_input_stops_before_writing(tmp_path, line, message):
    path = tmp_path / "in.jsonl"
    path.write_text('{"text": "a b c"}\n\n' + line + "\n", encoding="utf-8")
    proc = run_cli(path, "-o", tmp_path / "out.jsonl")
    assert proc.returncode == 2
    assert message in proc.stderr and len(proc.stderr.strip().splitlines()) == 1
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl"]


def test_cli_folders_reference_and_parquet(tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    licence = " ".join(f"clause{i} applies here" for i in range(40))
    (tmp_path / "src" / "sub").mkdir(parents=True)
    (tmp_path / "src" / "a.txt").write_text("preface words. " + licence, encoding="utf-8")
    (tmp_path / "src" / "sub" / "b.txt").write_text(licence + " and a tail", encoding="utf-8")
    (tmp_path / "test.txt").write_text("held out: " + licence[:300], encoding="utf-8")
    proc = run_cli(tmp_path / "src", "-o", tmp_path / "out", "--min-words", "10")
    assert proc.returncode == 0, proc.stderr
    read = lambda *p: tmp_path.joinpath(*p).read_text(encoding="utf-8")  # noqa: E731
    assert read("out", "a.txt") == "preface words. " + licence
    assert read("out", "sub", "b.txt") == "and a tail"
    # With the reference, the held-out passage goes from both, no copy kept.
    options = ["--min-words", "10", "--reference", tmp_path / "test.txt"]
    proc = run_cli(tmp_path / "src", "-o", tmp_path / "out2", *options)
    assert proc.returncode == 0, proc.stderr
    assert "clause0 " not in read("out2", "a.txt")
    # Parquet in, Parquet out, other columns kept.
    table = pa.table({"text": [licence, "x " + licence, "two words"], "k": [1, 2, 3]})
    pq.write_table(table, tmp_path / "in.parquet")
    options = ["--min-words", "10", "--drop-below", "2"]
    proc = run_cli(tmp_path / "in.parquet", "-o", tmp_path / "out.parquet", *options)
    assert proc.returncode == 0, proc.stderr
    out = pq.read_table(tmp_path / "out.parquet").to_pydict()
    assert out == {"text": [licence, "two words"], "k": [1, 3]}
