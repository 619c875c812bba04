"""Cleaning a corpus on Dask (``pip install quarnel[dask]``): the output of `quarnel.dedup`,
byte for byte, for corpora that outgrow one machine.

The job, per partition and in four stages:

1. native code fingerprints every window of ``min_words`` words (two 61-bit polynomial hashes
   over token hashes; the interpreter lock released): one 37-byte record per window with its
   document (partition, row), word and character offset;
2. a sketch of the fingerprints (two bit arrays: the slots some window takes, and those two or
   more take) is made from the slots of up to eight partitions at a time, the groups' arrays
   merged in a tree, and each partition keeps only the
   records of slots two windows share: a window alone in its slot occurs once in the corpus and
   the reference together, so it neither is marked nor decides a mark. On real text most
   windows occur once, and the shuffle moves only the rest;
3. the records of one fingerprint are brought together: below 64 partitions each partition's
   records split by fingerprint into one piece per bucket and each bucket takes its pieces;
   from there on (and for Bags, or when Dask's configuration names a shuffle method) Dask's
   shuffle, disk-backed peer-to-peer by default. There the first place in corpus order
   (partition, then row, then word) is kept and every other place is marked, or every place
   when the fingerprint also occurs in the reference;
4. the marks go back to their partitions the same way (pieces by partition, or a second shuffle
   on the partition number), and native code cuts the spans there with the same kernel as the
   local engine.

Memory per worker grows with the partition, not the corpus: measured on 2 workers, about 1 GB
of interpreter, Dask and shuffle buffers plus 23 to 85 bytes per byte of one partition (its
text, its window records at 37 bytes per word, the marks at 33, the pandas frames around them
and one shuffle output partition), and the sketch's tasks: the slots of up to eight partitions
(4 bytes a window) and bit arrays of at most 64 MB each, three pairs while two groups are
merged; smaller partitions lower it. Dask spills what waits (partitions held until their marks
arrive) to disk. The two exchanges sent 4 to 6 bytes per input byte between the two workers of
the benchmark (whose corpus repeats much); less where fewer windows repeat. Two different
windows share a fingerprint with probability about (min_words / (2^61 - 1))^2, 2^-110 at the
default 50: over 10^12 windows (5 x 10^23 pairs) the chance of any false removal is below
3 x 10^-10. The local engine compares windows exactly.
"""

from __future__ import annotations

import numpy as np

from quarnel import _corpus
from quarnel.cleaning import REFERENCE, REPEAT, _params

try:
    import dask  # the package itself, before its submodules
    import dask.bag as db
    import dask.dataframe as dd
    import pandas as pd
except ImportError as exc:  # pragma: no cover - the extra is missing
    raise ImportError("quarnel.dask needs Dask: pip install 'quarnel[dask]'") from exc

__all__ = ["dedup"]

_ROW_BITS = 32
_RECORD_DTYPES = {"high": np.uint64, "low": np.uint64, "document": np.int64, "word": np.uint32,
                  "start": np.uint64, "reference": np.bool_}
# A mark's document is (partition << _ROW_BITS) | row, as the records': 33 bytes a mark.
_MARK_DTYPES = {"document": np.int64, "word": np.uint32, "why": np.uint8,
                "kept_document": np.int64, "kept_word": np.uint32, "kept_start": np.uint64}
_SPAN_DTYPES = {"document": np.int64, "start": np.int64, "end": np.int64, "why": np.uint8,
                "kept_document": np.int64, "kept_start": np.int64}


def _empty(dtypes: dict) -> pd.DataFrame:
    return pd.DataFrame({k: np.empty(0, dtype=v) for k, v in dtypes.items()})


def _texts(partition: pd.DataFrame, column: str, key: str, where: str) -> list[str]:
    """The partition's documents as a list of str (TypeError naming the first that is not); a
    Bag's items are str, or dicts with the text under `key`."""
    if column == _ITEM:
        texts = [item[key] if isinstance(item, dict) else item for item in partition[_ITEM]]
    else:
        texts = partition[column].tolist()
    for row, text in enumerate(texts):
        if not isinstance(text, str):
            raise TypeError(f"{where}: row {row} has {type(text).__name__}, not str")
    return texts


# Frames are made with copy=False: the columns are new arrays, and pandas would otherwise copy
# those of one dtype into one block (a second of a 64 MB partition's window records).
def _fingerprints(partition, column, key, params, reference: bool, partition_info=None):
    part = partition_info["number"] if partition_info else 0
    where = f"reference partition {part}" if reference else f"partition {part}"
    found = _corpus.window_fingerprints(_texts(partition, column, key, where), *params[:3])
    document = found["document"].view(np.int64)
    if not reference:
        document = document | np.int64(part << _ROW_BITS)
    return pd.DataFrame({"high": found["high"], "low": found["low"], "document": document,
                         "word": found["word"].astype(np.uint32), "start": found["start"],
                         "reference": np.full(len(document), reference)}, copy=False)


# The sketch: one bit per slot of a fingerprint's low bits, set in `seen` for the slots of every
# window and in `repeated` for those two or more windows share; 2^22 to 2^29 slots, about 4 per
# window of the corpus and reference (two bit arrays of at most 64 MB each; past 2^27 windows
# the slots fill up and the filter drops fewer records, never a wrong one). Each partition sends
# its slots (4 bytes a window) to a task that sketches up to _SKETCH_GROUP partitions in one
# pass, and the groups' bit arrays merge in a tree: a bit-array pair per partition cost more to
# make, move and merge than its slots.
_MIN_SLOTS, _MAX_SLOTS = 22, 29
_SKETCH_GROUP = 8


def _slot_bits(windows) -> int:
    return max(_MIN_SLOTS, min(_MAX_SLOTS, (4 * int(windows)).bit_length()))


def _high(records: pd.DataFrame) -> np.ndarray:
    # the slots are its low bits: a hash modulo 2^61 - 1 leaves the top three of 64 always clear
    return np.ascontiguousarray(records["high"].to_numpy())


def _slots(records: pd.DataFrame) -> np.ndarray:
    return records["high"].to_numpy().astype(np.uint32)  # the low 32 bits


def _sketch(windows: int, *slots: np.ndarray):
    """(seen, repeated) of some partitions' windows."""
    found = _corpus.sketch_windows(list(slots), _slot_bits(windows))
    return found["seen"], found["repeated"]


def _merged(a, b):
    return a[0] | b[0], a[1] | b[1] | (a[0] & b[0])


def _repeated(sketch) -> np.ndarray:
    return sketch[1]


def _may_repeat(records: pd.DataFrame, repeated: np.ndarray, windows: int) -> np.ndarray:
    """The rows of the records whose slot two windows share: a window alone in its slot occurs
    once in the corpus and the reference together, so it is neither marked nor decides a mark."""
    keep = _corpus.in_slots(_high(records), repeated, _slot_bits(windows))["in_slots"]
    return np.flatnonzero(keep.view(np.bool_))


def _filtered(records: pd.DataFrame, repeated: np.ndarray, windows: int) -> pd.DataFrame:
    return records.take(_may_repeat(records, repeated, windows))


def _sketched(records):
    """(windows, repeated): the number of windows and the bit array of the slots two or more
    share, from a sketch of the records' slots made per group of partitions and merged in a
    tree. Filtering by it is exact-safe: it only drops windows that occur once."""
    from dask import delayed

    windows = records.map_partitions(_length, meta=pd.Series(dtype=np.int64),
                                     enforce_metadata=False).sum()
    slots = [delayed(_slots)(part) for part in records.to_delayed()]
    sketches = [delayed(_sketch)(windows, *slots[k:k + _SKETCH_GROUP])
                for k in range(0, len(slots), _SKETCH_GROUP)]
    while len(sketches) > 1:
        sketches = [delayed(_merged)(*sketches[k:k + 2]) if k + 1 < len(sketches) else
                    sketches[k] for k in range(0, len(sketches), 2)]
    return windows, delayed(_repeated)(sketches[0])


def _decide(records: pd.DataFrame) -> pd.DataFrame:
    """Marks for one shuffle partition: all places of a fingerprint are here."""
    if records.empty:
        return _empty(_MARK_DTYPES)
    document = records["document"].to_numpy()
    found = _corpus.decide_windows(
        records["high"].to_numpy(), records["low"].to_numpy(), document.view(np.uint64),
        records["word"].to_numpy(), records["reference"].to_numpy().view(np.uint8))
    marked = found["marked"].view(np.int64)
    in_reference = found["kept"] == np.iinfo(np.uint64).max
    first = np.where(in_reference, 0, found["kept"]).astype(np.int64)
    word, start = records["word"].to_numpy(), records["start"].to_numpy()
    return pd.DataFrame({
        "document": document[marked],
        "word": word[marked],
        "why": np.where(in_reference, REFERENCE, REPEAT).astype(np.uint8),
        "kept_document": np.where(in_reference, -1, document[first]),
        "kept_word": np.where(in_reference, 0, word[first]).astype(np.uint32),
        "kept_start": np.where(in_reference, np.iinfo(np.uint64).max, start[first]),
    }, copy=False)


def _shuffled(records, windows, repeated, buckets: int, parts: int, method):
    """Dask's shuffles: the records that may repeat by fingerprint, the marks back by partition
    number (partition p's marks are those with document p << _ROW_BITS up to its last row)."""
    marks = records.map_partitions(_filtered, repeated, windows, meta=records._meta,
                                   enforce_metadata=False).shuffle(
        on="high", npartitions=buckets, shuffle_method=method).map_partitions(
        _decide, meta=_empty(_MARK_DTYPES))
    bounds = [p << _ROW_BITS for p in range(parts)] + [(parts << _ROW_BITS) - 1]
    return marks.set_index("document", divisions=bounds, shuffle_method=method)


def _exchanged(records, windows, repeated, buckets: int, parts: int):
    """Few partitions, both exchanges by pieces: each partition's records that may repeat split
    by fingerprint into one piece per bucket, each bucket's pieces decided together, its marks
    split by partition, and each partition taking its pieces: one take of the columns per split,
    with neither a shuffle's hashing and frames nor a sort by document."""
    from dask import delayed

    split = [delayed(_bucketed, nout=buckets)(part, repeated, windows, buckets)
             for part in records.to_delayed()]
    marks = [delayed(_decided)(*(pieces[b] for pieces in split)) for b in range(buckets)]
    back = [delayed(_split_by_partition, nout=parts)(m, parts) for m in marks]
    gathered = [delayed(_gathered)(*(pieces[p] for pieces in back)) for p in range(parts)]
    return dd.from_delayed(gathered, meta=_empty(_MARK_DTYPES), verify_meta=False)


def _pieces(frame: pd.DataFrame, key: np.ndarray, n: int, rows=None) -> list[pd.DataFrame]:
    """The frame's rows (or those of `rows`, key[i] for rows[i]) split by key, 0 <= key < n."""
    # NumPy's stable sort of 16-bit keys is a radix sort
    key = key.astype(np.uint16 if n <= 1 << 16 else np.int64)
    order = np.argsort(key, kind="stable")
    bounds = np.concatenate(([0], np.cumsum(np.bincount(key, minlength=n))))
    taken = frame.take(order if rows is None else rows[order])
    return [taken.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:])]


def _bucketed(records: pd.DataFrame, repeated: np.ndarray, windows: int, buckets: int):
    rows = _may_repeat(records, repeated, windows)
    # Multiplied: the kept records' low bits are those of shared slots.
    mixed = records["high"].to_numpy()[rows] * np.uint64(0x9E3779B97F4A7C15)
    return _pieces(records, (mixed >> np.uint64(32)) % np.uint64(buckets), buckets, rows)


def _decided(*pieces: pd.DataFrame) -> pd.DataFrame:
    return _decide(pd.concat(pieces, ignore_index=True))


def _split_by_partition(marks: pd.DataFrame, parts: int) -> list[pd.DataFrame]:
    return _pieces(marks, marks["document"].to_numpy() >> _ROW_BITS, parts)


def _gathered(*pieces: pd.DataFrame) -> pd.DataFrame:
    return pd.concat(pieces, ignore_index=True) if pieces else _empty(_MARK_DTYPES)


def _length(partition: pd.DataFrame) -> pd.Series:
    return pd.Series([len(partition)], dtype=np.int64)


def _cut(partition: pd.DataFrame, marks: pd.DataFrame, lengths: pd.Series, column: str,
         key: str, params, what: str, partition_info=None):
    """The cleaned partition (what="texts") or its spans (what="spans")."""
    part = partition_info["number"] if partition_info else 0
    offsets = np.concatenate(([0], np.cumsum(lengths.to_numpy(), dtype=np.int64)))
    texts = _texts(partition, column, key, f"partition {part}")
    if "document" not in marks.columns:  # the route by set_index made it the index
        marks = marks.reset_index()
    # the marks as they came: the native cut sorts them by (row, word)
    row = (marks["document"].to_numpy() & ((1 << _ROW_BITS) - 1)).view(np.uint64)
    kept = marks["kept_document"].to_numpy()
    repeat = kept >= 0
    kept_part, kept_row = kept >> _ROW_BITS, kept & ((1 << _ROW_BITS) - 1)
    kept_global = np.where(repeat, offsets[np.where(repeat, kept_part, 0)] + kept_row, -1)
    columns = {
        "document": row,
        "word": marks["word"].to_numpy().astype(np.uint64),
        "why": np.ascontiguousarray(marks["why"].to_numpy(), dtype=np.uint8),
        "kept_document": kept_global.astype(np.int64).view(np.uint64),
        "kept_word": marks["kept_word"].to_numpy().astype(np.uint64),
        "kept_start": np.ascontiguousarray(marks["kept_start"].to_numpy(), dtype=np.uint64),
    }
    out = _corpus.cut_marked(texts, columns, *params, int(offsets[part]))
    if what == "spans":
        return pd.DataFrame({key: out[key].view(np.int64) if dtype == np.int64 else out[key]
                             for key, dtype in _SPAN_DTYPES.items()}, copy=False)
    keep = ~out["dropped"].view(np.bool_)
    result = partition[keep].copy()
    cleaned = [text for text, k in zip(out["texts"], keep) if k]
    if column == _ITEM:  # a Bag's items: str, or dicts with the text under the Bag's key
        result[_ITEM] = [dict(item, **{key: text}) if isinstance(item, dict) else text
                         for item, text in zip(result[_ITEM], cleaned)]
    else:
        result[column] = cleaned
    return result


def _frame(collection, column):
    """The collection as a DataFrame with one partition per partition, and its text column."""
    if isinstance(collection, dd.DataFrame):
        if column not in collection.columns:
            raise ValueError(f"column: the DataFrame has no column {column!r}")
        return collection, column
    if isinstance(collection, db.Bag):
        return collection.map(_item_record).to_dataframe(meta=_items_frame([])), _ITEM
    raise TypeError(f"collection must be a Dask DataFrame or Bag, not {type(collection).__name__}")


_ITEM = "__quarnel_item__"


def _item_record(item) -> dict:
    return {_ITEM: item}


def _items_frame(items) -> pd.DataFrame:
    return pd.DataFrame({_ITEM: pd.Series(list(items), dtype=object)})


def _reference_frame(reference, column):
    if isinstance(reference, (dd.DataFrame, db.Bag)):
        return _frame(reference, column)
    from quarnel.corpus import _documents

    texts = _documents(reference)[1]
    return dd.from_pandas(pd.DataFrame({"text": pd.Series(texts, dtype=object)}),
                          npartitions=1), "text"


# Below this many partitions the exchange by pieces (every partition's piece for every bucket a
# task result, kept in memory and spilled by the workers when it fills them) beats the
# peer-to-peer shuffle's machinery (Arrow tables, disk files): 17.0 against 21.2 s on 8
# partitions of 32 MB with Dask's task-based shuffle already. From here on the disk-backed shuffle
# keeps each worker's memory bounded whatever the corpus, and the pieces' n^2 tasks would grow.
_TASK_SHUFFLE_BELOW = 64


def _shuffle_method(collection, partitions: int):
    """The shuffle Dask is configured to use, else by the partitions (None: Dask's default). A
    Bag's graph optimisation fuses tasks around the peer-to-peer shuffle's barrier, which it
    cannot survive: Bags always take the task-based shuffle."""
    if isinstance(collection, db.Bag):
        return "tasks"
    configured = dask.config.get("dataframe.shuffle.method", None)
    if configured is not None:
        return configured
    return "tasks" if partitions < _TASK_SHUFFLE_BELOW else None


def dedup(collection, *, column: str = "text", min_words: int = 50, reference=None,
          ignore_case: bool = False, collapse_whitespace: bool = False, drop_below: int = 0,
          spans: bool = False, shuffle_partitions: int | None = None):
    """`quarnel.dedup` on a Dask DataFrame (its text ``column``) or Bag (of str, or of dicts
    with a ``column`` key), lazily: the same kind of collection with the texts cleaned and
    dropped documents left out; with ``spans=True`` also a DataFrame of the removed spans
    (``document`` numbers rows in corpus order: partition order, then row order).

    ``reference`` is a Dask collection of the same kind or documents as `quarnel.dedup` takes
    them. ``shuffle_partitions`` sets the fingerprint shuffle's partitions (default: as many as
    the collection's).
    """
    params = _params(min_words, ignore_case, collapse_whitespace, drop_below)
    frame, text_column = _frame(collection, column)
    parts = frame.npartitions
    records = frame.map_partitions(_fingerprints, text_column, column, params, False,
                                   meta=_empty(_RECORD_DTYPES), enforce_metadata=False)
    if reference is not None:
        ref_frame, ref_column = _reference_frame(reference, column)
        records = dd.concat([records, ref_frame.map_partitions(
            _fingerprints, ref_column, column, params, True, meta=_empty(_RECORD_DTYPES),
            enforce_metadata=False)])
    buckets = shuffle_partitions or max(1, parts)
    method = _shuffle_method(collection, max(parts, buckets))
    windows, repeated = _sketched(records)
    # A Bag's graph optimisation cannot take the delayed pieces: Bags take Dask's shuffles.
    if isinstance(collection, db.Bag) or method != "tasks" or parts >= _TASK_SHUFFLE_BELOW:
        routed = _shuffled(records, windows, repeated, buckets, parts, method)
    else:
        routed = _exchanged(records, windows, repeated, buckets, parts)
    # Every partition's length, as one partition that each cut task receives whole.
    lengths = frame.map_partitions(_length, meta=pd.Series(dtype=np.int64),
                                   enforce_metadata=False).repartition(npartitions=1)
    cut = lambda what, meta: dd.map_partitions(  # noqa: E731
        _cut, frame, routed, lengths, text_column, column, params, what, meta=meta,
        align_dataframes=False, enforce_metadata=False)
    cleaned = cut("texts", frame._meta)
    if isinstance(collection, db.Bag):
        cleaned = cleaned[_ITEM].to_bag()
    if not spans:
        return cleaned
    return cleaned, cut("spans", _empty(_SPAN_DTYPES))
