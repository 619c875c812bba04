"""``quarnel dedup IN... -o OUT``: a corpus cleaned of repeated passages (first copy kept) and of
passages found in a reference set.

Inputs: JSON Lines files (the text under ``--text-field``; every other field is kept), Parquet
files (with pyarrow), or text files and folders of them (cleaned copies under the output folder,
with the same relative paths). Everything is read and checked before anything is written, and
output goes to a temporary name renamed into place at the end, so an error or Ctrl-C leaves
nothing partial behind.
"""

from __future__ import annotations

import os
import re
import sys
from dataclasses import dataclass, field

from quarnel._inputs import Options, discover, read_document


JSONL = (".jsonl", ".ndjson", ".json")
PARQUET = (".parquet", ".pq")


class InputError(Exception):
    """A malformed input: `file:line: message`, exit status 2."""


@dataclass
class Corpus:
    kind: str = ""  # "jsonl", "parquet" or "text"
    texts: list = field(default_factory=list)
    # per document: (file index, line number or row, relative path for text files)
    files: list = field(default_factory=list)
    places: list = field(default_factory=list)  # (file index, line or row)
    relative: list = field(default_factory=list)  # text kind: output path below the folder
    names: dict = field(default_factory=dict)  # text kind: document -> its file's name


def kind_of(path: str) -> str:
    if os.path.isdir(path):
        return "text"
    lower = path.lower()
    if lower.endswith(JSONL):
        return "jsonl"
    if lower.endswith(PARQUET):
        return "parquet"
    return "text"


def _jsonl_lines(path):
    """(line number, parsed object) per non-blank line."""
    import json

    try:
        f = open(path, "rb")
    except OSError as exc:
        raise InputError(f"{path}:0: cannot read: {exc.strerror or exc}") from None
    with f:
        for number, raw in enumerate(f, 1):
            if not raw.strip():
                continue
            try:
                yield number, json.loads(raw)
            except (ValueError, UnicodeDecodeError) as exc:
                raise InputError(f"{path}:{number}: not a JSON value: {exc}") from None


def _text_of(path, number, obj, text_field):
    if not isinstance(obj, dict):
        raise InputError(f"{path}:{number}: expected a JSON object, not {type(obj).__name__}")
    if text_field not in obj:
        raise InputError(f"{path}:{number}: no field {text_field!r}")
    text = obj[text_field]
    if not isinstance(text, str):
        raise InputError(f"{path}:{number}: field {text_field!r} is {type(text).__name__}, "
                         f"not a string")
    return text


def _parquet_table(path, text_field):
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise InputError(f"{path}:0: reading Parquet needs pyarrow: pip install pyarrow") from None
    try:
        table = pq.read_table(path)
    except (OSError, ValueError) as exc:
        raise InputError(f"{path}:0: cannot read as Parquet: {exc}") from None
    if text_field not in table.column_names:
        raise InputError(f"{path}:0: no column {text_field!r}")
    return table


def read_corpus(paths, text_field, progress, what="input") -> Corpus:
    kinds = {kind_of(p) for p in paths}
    if len(kinds) > 1:
        raise InputError(f"{paths[0]}:0: {what}s mix kinds ({', '.join(sorted(kinds))}); give "
                         f"JSON Lines, Parquet or text files")
    corpus = Corpus(kind=kinds.pop())
    for f, path in enumerate(paths):
        progress.set(f"reading {what} {path}: {len(corpus.texts):,} documents")
        if corpus.kind == "jsonl":
            for number, obj in _jsonl_lines(path):
                corpus.texts.append(_text_of(path, number, obj, text_field))
                corpus.places.append((f, number))
        elif corpus.kind == "parquet":
            column = _parquet_table(path, text_field).column(text_field).to_pylist()
            for row, text in enumerate(column):
                if not isinstance(text, str):
                    raise InputError(f"{path}:{row + 1}: column {text_field!r} is "
                                     f"{type(text).__name__} in this row, not a string")
                corpus.texts.append(text)
                corpus.places.append((f, row + 1))
        else:
            _read_text_files(path, f, corpus, progress)
    return corpus


def _read_text_files(path, f, corpus, progress):
    """Text files as the other commands find them (ignore files honoured, links read once,
    compressed files decompressed); binary and undecodable files are left out with a note."""
    discovery = discover([path], Options())
    for name, reason in discovery.failed:
        raise InputError(f"{name}:0: cannot read: {reason}")
    for skip in discovery.skipped:
        progress.note(f"quarnel: skipped {skip.name}: {skip.reason}")
    for found in discovery.files:
        try:
            text, _, reason = read_document(found.path)
        except OSError as exc:
            raise InputError(f"{found.name}:0: cannot read: {exc.strerror or exc}") from None
        if text is None:
            progress.note(f"quarnel: skipped {found.name}: {reason}")
            continue
        corpus.names[len(corpus.texts)] = found.name
        corpus.texts.append(text)
        corpus.places.append((f, 1))
        corpus.relative.append(found.relative if os.path.isdir(path)
                               else os.path.basename(found.name))


# Writing: each writer fills a temporary path that is renamed over the output at the end.

def _write_jsonl(paths, corpus, cleaned, keep, text_field, out):
    import json

    k = 0
    with open(out, "w", encoding="utf-8", newline="\n") as sink:
        for path in paths:
            for number, obj in _jsonl_lines(path):
                if keep[k]:
                    obj[text_field] = cleaned[k]
                    sink.write(json.dumps(obj, ensure_ascii=False))
                    sink.write("\n")
                k += 1


def _write_parquet(paths, corpus, cleaned, keep, text_field, out):
    import pyarrow as pa
    import pyarrow.parquet as pq

    tables, k = [], 0
    for path in paths:
        table = _parquet_table(path, text_field)
        n = table.num_rows
        mask = pa.array(keep[k:k + n], type=pa.bool_())
        index = table.column_names.index(text_field)
        texts = pa.array([t for t, kept in zip(cleaned[k:k + n], keep[k:k + n]) if kept],
                         type=table.schema.field(text_field).type)
        tables.append(table.filter(mask).set_column(index, text_field, texts))
        k += n
    pq.write_table(pa.concat_tables(tables) if tables else pa.table({}), out)


def _write_folder(paths, corpus, cleaned, keep, text_field, out):
    os.makedirs(out)
    for relative, text, kept in zip(corpus.relative, cleaned, keep):
        if not kept:
            continue
        target = os.path.join(out, relative)
        os.makedirs(os.path.dirname(target) or out, exist_ok=True)
        with open(target, "w", encoding="utf-8", newline="") as sink:
            sink.write(text)


WRITERS = {"jsonl": _write_jsonl, "parquet": _write_parquet, "text": _write_folder}


def _clean(args, corpus, reference):
    import quarnel

    options = dict(min_words=args.min_words, ignore_case=args.ignore_case,
                   collapse_whitespace=args.collapse_whitespace, drop_below=args.drop_below)
    if args.workers is None and args.scheduler is None:
        result = quarnel.dedup(corpus.texts, reference=reference, **options)
        spans = result.spans
        return (result.texts, ~result.dropped, result.words, result.removed_words,
                [spans.document, spans.start, spans.end, spans.why, spans.kept_document,
                 spans.kept_start])
    return _clean_on_dask(args, corpus, reference, options)


def _clean_on_dask(args, corpus, reference, options):
    import logging

    import dask
    import dask.bag as db
    import numpy as np
    from distributed import Client, LocalCluster

    from quarnel import dask as qdask

    if args.scheduler is not None:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               silence_logs=logging.ERROR)
        client = Client(cluster)
    try:
        items = [{"i": i, "text": t} for i, t in enumerate(corpus.texts)]
        parts = max(1, min(len(items), 2 * (args.workers or len(client.nthreads()) or 1)))
        bag = db.from_sequence(items, npartitions=parts)
        out, spans = qdask.dedup(bag, reference=reference, spans=True, **options)
        items, table = dask.compute(out, spans)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    n = len(corpus.texts)
    cleaned, keep = [""] * n, np.zeros(n, dtype=bool)
    for item in items:
        cleaned[item["i"]] = item["text"]
        keep[item["i"]] = True
    words = _word_counts(corpus.texts)
    removed = np.zeros(n, dtype=np.int64)
    columns = [table[c].to_numpy() for c in
               ("document", "start", "end", "why", "kept_document", "kept_start")]
    for d, s, e in zip(*columns[:3]):
        removed[d] += _words_in(corpus.texts[d][s:e])
    return cleaned, keep, words, removed, columns


def _word_counts(texts):
    import numpy as np

    return np.array([_words_in(t) for t in texts], dtype=np.int64)


# The tokenizer's words: runs of ASCII letters and digits and non-ASCII characters.
_WORD = re.compile(r"[0-9A-Za-z\x80-\U0010ffff]+")


def _words_in(text):
    return sum(1 for _ in _WORD.finditer(text))


def _write_spans(path, paths, corpus, columns):
    import json

    document, start, end, why, kept_document, kept_start = columns
    with open(path, "w", encoding="utf-8", newline="\n") as sink:
        for d, s, e, y, kd, ks in zip(*(c.tolist() for c in columns)):
            f, line = corpus.places[d]
            record = {"file": corpus.names.get(d, paths[f]), "line": line, "document": d,
                      "start": s, "end": e, "why": "reference" if y else "repeat"}
            if not y:
                kf, kline = corpus.places[kd]
                record.update(kept_file=corpus.names.get(kd, paths[kf]), kept_line=kline,
                              kept_document=kd, kept_start=ks)
            sink.write(json.dumps(record, ensure_ascii=False) + "\n")


def _temporary(target, folder):
    import tempfile

    where = os.path.dirname(os.path.abspath(target))
    if folder:
        parent = tempfile.mkdtemp(prefix=".quarnel-", dir=where)
        return os.path.join(parent, "out"), parent
    handle, path = tempfile.mkstemp(prefix=".quarnel-", suffix=".tmp", dir=where)
    os.close(handle)
    return path, path


def run(args, progress) -> int:
    import shutil

    paths = args.paths
    corpus = read_corpus(paths, args.text_field, progress)
    reference = None
    if args.reference:
        reference = read_corpus(args.reference, args.text_field, progress, "reference").texts
    if corpus.kind == "text" and os.path.exists(args.output) and (
            not os.path.isdir(args.output) or os.listdir(args.output)):
        raise InputError(f"{args.output}:0: the output folder exists and is not empty")
    chars = sum(map(len, corpus.texts))
    progress.set(f"cleaning {len(corpus.texts):,} documents, {chars / 1e6:.1f} M characters")
    cleaned, keep, words, removed, columns = _clean(args, corpus, reference)
    progress.set("writing")
    made = []
    try:
        out, scratch = _temporary(args.output, corpus.kind == "text")
        made.append(scratch)
        WRITERS[corpus.kind](paths, corpus, cleaned, keep, args.text_field, out)
        if args.spans is not None:
            spans_out, spans_scratch = _temporary(args.spans, False)
            made.append(spans_scratch)
            _write_spans(spans_out, paths, corpus, columns)
            os.replace(spans_out, args.spans)
        if corpus.kind == "text" and os.path.isdir(args.output):
            os.rmdir(args.output)
        os.replace(out, args.output)
    finally:
        for path in made:
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            elif os.path.exists(path):
                os.unlink(path)
    total, gone = int(words.sum()), int(removed.sum())
    dropped = len(keep) - int(sum(keep))
    share = 100 * gone / total if total else 0.0
    progress.note(f"quarnel: dedup: {len(corpus.texts):,} documents, {total:,} words, "
                  f"{gone:,} removed ({share:.2f} %), {dropped:,} documents dropped, "
                  f"{len(columns[0]):,} spans; wrote {args.output}")
    return 0


def main(args, progress) -> int:
    try:
        return run(args, progress)
    except InputError as exc:
        progress.close()
        print(f"quarnel: error: {exc}", file=sys.stderr)
        return 2
