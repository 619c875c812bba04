"""Cleaning a corpus: repeated passages kept once, passages of a reference set removed.

``dedup`` removes every window of ``min_words`` words (with the text between them) that occurs
again later in corpus order, keeping its first copy, and, with ``reference=``, every window that
also occurs in the reference documents. Results are the cleaned texts in input order and the
removed spans as NumPy columns with ``str`` offsets into each document as given.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

from quarnel import _corpus
from quarnel.corpus import Name, _count, _documents, _flag

if TYPE_CHECKING:
    import numpy as np

__all__ = ["dedup", "Cleaned", "Spans", "REPEAT", "REFERENCE"]

REPEAT = 0
REFERENCE = 1
_WHY = ("repeat", "reference")


class Spans(Sequence):
    """The removed spans, one row each, ascending by (document, start).

    Columns (int64 NumPy arrays, ``why`` uint8): ``document``, ``start``, ``end`` (``str``
    offsets: ``texts[document][start:end]`` before cleaning is the span), ``why`` (`REPEAT` or
    `REFERENCE`), and for a repeat ``kept_document`` and ``kept_start``: where the first copy of
    the span's first window begins (-1 for reference spans). Indexing gives a dict per span.
    """

    def __init__(self, columns: dict):
        import numpy as np

        as_int = lambda key: columns[key].view(np.int64)  # noqa: E731 (values below 2**63)
        self.document = as_int("document")
        self.start = as_int("start")
        self.end = as_int("end")
        self.why = columns["why"]
        self.kept_document = as_int("kept_document")
        self.kept_start = as_int("kept_start")

    def __len__(self) -> int:
        return len(self.start)

    def __getitem__(self, k):
        if isinstance(k, slice):
            return [self[i] for i in range(*k.indices(len(self)))]
        k = range(len(self))[k]
        return {"document": int(self.document[k]), "start": int(self.start[k]),
                "end": int(self.end[k]), "why": _WHY[int(self.why[k])],
                "kept_document": int(self.kept_document[k]),
                "kept_start": int(self.kept_start[k])}

    def to_dicts(self) -> list[dict]:
        """One dict per span, ``why`` as "repeat" or "reference"."""
        return [self[k] for k in range(len(self))]

    def __repr__(self) -> str:
        return f"<Spans: {len(self)} removed spans>"


class Cleaned:
    """The cleaned corpus: ``texts`` in input order with their ``names``, per document
    ``words``, ``removed_words`` and ``dropped`` (NumPy arrays), the removed ``spans``, and a
    ``summary`` dict. A dropped document (fewer than ``drop_below`` kept words) has the text "".
    """

    names: tuple[Name, ...]
    texts: list[str]
    words: np.ndarray
    removed_words: np.ndarray
    dropped: np.ndarray
    spans: Spans

    def __init__(self, names: Sequence[Name], columns: dict):
        import numpy as np

        self.names = tuple(names)
        self.texts = columns["texts"]
        self.words = columns["words"].view(np.int64)
        self.removed_words = columns["removed_words"].view(np.int64)
        self.dropped = columns["dropped"].view(np.bool_)
        self.spans = Spans(columns)

    @property
    def summary(self) -> dict:
        """Documents, words, removed words and their share, dropped documents, spans by why."""
        words = int(self.words.sum())
        removed = int(self.removed_words.sum())
        reference = int((self.spans.why == REFERENCE).sum())
        return {"documents": len(self.texts), "words": words, "removed_words": removed,
                "removed_share": removed / words if words else 0.0,
                "dropped_documents": int(self.dropped.sum()),
                "spans": len(self.spans), "repeat_spans": len(self.spans) - reference,
                "reference_spans": reference}

    def __len__(self) -> int:
        return len(self.texts)

    def __repr__(self) -> str:
        s = self.summary
        return (f"<Cleaned: {s['documents']} documents, {s['removed_words']} of {s['words']} "
                f"words removed in {s['spans']} spans>")


def _params(min_words, ignore_case, collapse_whitespace, drop_below) -> tuple:
    return (_flag("ignore_case", ignore_case), _flag("collapse_whitespace", collapse_whitespace),
            _count("min_words", min_words, 1), _count("drop_below", drop_below, 0))


def dedup(documents, *, min_words: int = 50, reference=None, ignore_case: bool = False,
          collapse_whitespace: bool = False, drop_below: int = 0) -> Cleaned:
    """The documents with repeated passages kept once and reference passages removed.

    A window is ``min_words`` consecutive words of one document with the text between them,
    compared as it is or after ``ignore_case`` / ``collapse_whitespace`` (as `find_passages`
    prepares text); windows never cross a document end. A word is removed when it lies in a
    window whose identical copy starts at an earlier place in corpus order (the documents in
    the order given), so the first copy is kept, or in a window that occurs anywhere in the
    ``reference`` documents (then no copy is kept). Removed words form spans from the first
    character of their first word to the first character of the next word after them; a span
    that reaches the end of its document also takes the white space before it. A document left
    with fewer than ``drop_below`` words is dropped: its text becomes "" and ``dropped`` is
    set (its words still count as first copies, so up to ``drop_below - 1`` words of a passage
    kept only there are lost). ``documents`` and ``reference`` take what `find_passages` takes.

    Exact (windows brought together by a hash of their words and compared byte for byte, the
    suffix array of the word tokens should two windows share a hash), linear in the corpus
    whatever its repeats, without the interpreter lock, and Ctrl-C stops it within a second.
    """
    names, texts = _documents(documents)
    references = None if reference is None else _documents(reference)[1]
    columns = _corpus.dedup(texts, references,
                            *_params(min_words, ignore_case, collapse_whitespace, drop_below))
    return Cleaned(names, columns)
