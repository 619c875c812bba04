"""Documents analysed together: repeated phrases and passages across a corpus.

``find_phrases`` runs the duplicate-phrase finder over many documents at once and
``find_passages`` finds maximal repeated runs of words; both find a repeat wherever it occurs, in
one document or several, and never across a document's end. Results are columns (NumPy arrays)
with ``str`` offsets into each document, so ``doc[start:end]`` is the occurrence.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, NamedTuple, Union

from quarnel import _corpus

if TYPE_CHECKING:
    import numpy as np

__all__ = [
    "find_phrases",
    "find_passages",
    "Matches",
    "PhraseMatches",
    "PassageMatches",
    "Group",
    "Occurrence",
]

_LIMIT = _corpus._COUNT_LIMIT
_FINDER = _corpus._FINDER_DEFAULTS
_PASSAGE = _corpus._PASSAGE_DEFAULTS
_SORT_KEYS = ("words", "count", "share", "files")

Name = Union[str, None]


class Occurrence(NamedTuple):
    """One place of a phrase or passage: ``text[start:end]`` of document ``document``."""

    document: int
    name: Name
    start: int
    end: int
    line: int
    column: int
    end_line: int
    end_column: int


class Group(NamedTuple):
    """A phrase or passage with every place it occurs."""

    text: str
    count: int  # type: ignore[assignment]  # (shadows tuple.count, by design)
    words: int
    occurrences: list[Occurrence]


_OCCURRENCE_COLUMNS = ("document", "start", "end", "line", "column", "end_line", "end_column")


class Matches(Sequence):
    """Phrases or passages as columns; a sequence of light `Group` records.

    Per occurrence (grouped by phrase or passage, ascending by document then start inside
    each group): ``group``, ``document``, ``start``, ``end``, ``line``, ``column``,
    ``end_line`` and ``end_column`` (int64 arrays). Offsets are ``str`` indices; lines split at
    line feeds and count from 1, columns count characters from 1; ``end_line`` and
    ``end_column`` are those of the occurrence's last character. Per group: ``texts``,
    ``counts``, ``words``, ``chars`` and ``first`` (group g owns rows ``first[g]:first[g+1]``).
    Per document: ``names``, ``document_words``, ``covered_words`` (words inside some
    occurrence) and ``document_chars``. After `select` a group's ``counts`` entry stays its
    exact number of places while its rows may be fewer; ``found_groups`` and ``found_places``
    are the totals of the result selected from.
    """

    names: tuple[Name, ...]
    reference_from: int  # documents from here on are the reference (find_passages)
    texts: list[str]
    words: np.ndarray
    chars: np.ndarray
    counts: np.ndarray
    first: np.ndarray
    document: np.ndarray
    start: np.ndarray
    end: np.ndarray
    line: np.ndarray
    column: np.ndarray
    end_line: np.ndarray
    end_column: np.ndarray
    document_words: np.ndarray
    covered_words: np.ndarray
    document_chars: np.ndarray
    found_groups: int
    found_places: int

    def __init__(self, names: Sequence[Name], columns: dict):
        import numpy as np  # only results need NumPy, not importing quarnel

        self.names = tuple(names)
        self.reference_from = len(self.names)
        self.texts = columns["texts"]
        as_int = lambda key: columns[key].view(np.int64)  # noqa: E731 (values below 2**63)
        self.words = as_int("words")
        self.chars = as_int("chars")
        self.first = as_int("first")
        self.counts = as_int("counts")
        for key in _OCCURRENCE_COLUMNS:
            setattr(self, key, as_int(key))
        self.document_words = as_int("document_words")
        self.covered_words = as_int("covered_words")
        self.document_chars = as_int("document_chars")
        self.found_groups, self.found_places = columns["found_groups"], columns["found_places"]

    @functools.cached_property
    def group(self) -> np.ndarray:
        """The group of each occurrence; made when first asked for, as it is as long as they."""
        import numpy as np

        return np.repeat(np.arange(len(self.texts), dtype=np.int64), np.diff(self.first))

    def files(self) -> np.ndarray:
        """The number of distinct documents among each group's rows."""
        import numpy as np

        if not len(self.start):
            return np.zeros(len(self), dtype=np.int64)
        new = np.empty(len(self.document), dtype=bool)
        new[0] = True
        np.not_equal(self.document[1:], self.document[:-1], out=new[1:])
        starts = self.first[:-1]
        new[starts[starts < len(new)]] = True
        files = np.add.reduceat(new, np.minimum(starts, len(new) - 1)).astype(np.int64)
        files[np.diff(self.first) == 0] = 0
        return files

    def select(self, *, top: int | None = None, sort: str | None = None, min_count: int = 2,
               max_places: int | None = None):
        """The groups kept by the limits, as a result of the same kind: those with at least
        ``min_count`` places, ordered by ``sort`` (``"words"``, ``"count"``, ``"share"``:
        words times places, or ``"files"``: distinct documents; largest first, ties in the
        result's order; None keeps the result's order), the first ``top`` of them (None: all),
        each with at most ``max_places`` rows (None: all) and its count still exact. The
        per-document columns are the whole result's."""
        import numpy as np

        top, sort, min_count, max_places, _ = _selection(top, sort, min_count, max_places)
        if sort is None and min_count <= 2 and max_places is None:
            return self if top is None or top >= len(self) else self._prefix(top)
        groups = np.flatnonzero(self.counts >= min_count) if min_count > 2 else None
        if sort is not None:
            key = {"words": lambda: self.words, "count": lambda: self.counts,
                   "share": lambda: self.words * self.counts, "files": self.files}[sort]()
            key = key if groups is None else key[groups]
            order = np.argsort(-key, kind="stable")
            groups = order if groups is None else groups[order]
        if groups is None:
            groups = np.arange(len(self), dtype=np.int64)
        if top is not None:
            groups = groups[:top]
        return self._derive(groups, max_places)

    def _prefix(self, top):
        """The first `top` groups as views of the columns: nothing is copied."""
        new = object.__new__(type(self))
        new.__dict__.update({k: v for k, v in self.__dict__.items() if k != "group"})
        rows = int(self.first[top])
        new.texts, new.first = self.texts[:top], self.first[:top + 1]
        new.words, new.chars, new.counts = self.words[:top], self.chars[:top], self.counts[:top]
        for key in _OCCURRENCE_COLUMNS:
            setattr(new, key, getattr(self, key)[:rows])
        return new

    def _derive(self, groups, max_places):
        import numpy as np

        new = object.__new__(type(self))
        new.__dict__.update({k: v for k, v in self.__dict__.items() if k != "group"})
        counts = self.counts[groups]
        rows_had = np.diff(self.first)[groups]
        shown = rows_had if max_places is None else np.minimum(rows_had, max_places)
        first = np.zeros(len(groups) + 1, dtype=np.int64)
        np.cumsum(shown, out=first[1:])
        rows = np.repeat(self.first[:-1][groups] - first[:-1], shown) + np.arange(first[-1])
        new.texts = [self.texts[g] for g in groups.tolist()]
        new.words, new.chars = self.words[groups], self.chars[groups]
        new.counts, new.first = counts, first
        for key in _OCCURRENCE_COLUMNS:
            setattr(new, key, getattr(self, key)[rows])
        return new

    def __len__(self) -> int:
        return len(self.texts)

    def __getitem__(self, g):
        if isinstance(g, slice):
            return [self[i] for i in range(*g.indices(len(self)))]
        g = range(len(self))[g]
        lo, hi = int(self.first[g]), int(self.first[g + 1])
        rows = zip(*(getattr(self, key)[lo:hi].tolist() for key in _OCCURRENCE_COLUMNS))
        occurrences = [Occurrence(d, self.names[d], *rest) for d, *rest in rows]
        return Group(self.texts[g], int(self.counts[g]), int(self.words[g]), occurrences)

    def __iter__(self) -> Iterator[Group]:
        return (self[g] for g in range(len(self)))

    def __repr__(self) -> str:
        return (f"<{type(self).__name__}: {len(self)} groups, {len(self.start)} occurrences "
                f"in {len(self.names)} documents>")

    def to_dicts(self) -> list[dict]:
        """One dict per group: text, count, words and the list of its occurrences as dicts."""
        return [{"text": g.text, "count": g.count, "words": g.words,
                 "occurrences": [o._asdict() for o in g.occurrences]} for g in self]

    def _occurrence_table(self) -> dict:
        import numpy as np

        names = np.array(self.names, dtype=object)
        texts = np.array(self.texts, dtype=object)
        table = {"group": self.group, "text": texts[self.group] if len(texts) else texts,
                 "document": self.document,
                 "name": names[self.document] if len(names) else names[:0]}
        for key in _OCCURRENCE_COLUMNS[1:]:
            table[key] = getattr(self, key)
        return table

    def to_pandas(self):
        """A pandas DataFrame, one row per occurrence (requires pandas)."""
        try:
            import pandas
        except ImportError as exc:
            raise ImportError("to_pandas() needs pandas: pip install pandas") from exc
        return pandas.DataFrame(self._occurrence_table())

    def to_arrow(self):
        """A pyarrow Table, one row per occurrence (requires pyarrow)."""
        try:
            import pyarrow
        except ImportError as exc:
            raise ImportError("to_arrow() needs pyarrow: pip install pyarrow") from exc
        table = self._occurrence_table()
        return pyarrow.table({key: pyarrow.array(list(value) if value.dtype == object else value)
                              for key, value in table.items()})


class PhraseMatches(Matches):
    """The duplicate finder's phrases over a corpus (see `find_phrases`)."""


class PassageMatches(Matches):
    """Maximal repeated runs of words over a corpus (see `find_passages`)."""


def _name(name) -> Name:
    if name is None or isinstance(name, str):
        return name
    if isinstance(name, os.PathLike):
        return os.fspath(name)
    raise TypeError(f"documents: a document name must be str, os.PathLike or None, "
                    f"not {type(name).__name__}")


def _documents(documents) -> tuple[list[Name], list[str]]:
    if isinstance(documents, str):
        return [None], [documents]
    if isinstance(documents, Mapping):
        items = list(documents.items())
    elif isinstance(documents, Iterable) and not isinstance(documents, (bytes, bytearray)):
        items = []
        for k, item in enumerate(documents):
            if isinstance(item, str):
                items.append((None, item))
            elif isinstance(item, tuple) and len(item) == 2:
                items.append(item)
            else:
                raise TypeError(f"documents: item {k} is {type(item).__name__}; expected str or "
                                f"a (name, str) pair")
    else:
        raise TypeError(f"documents must be a str, an iterable of str or (name, str) pairs, or a "
                        f"mapping of names to str, not {type(documents).__name__}")
    names, texts = [], []
    for k, (name, text) in enumerate(items):
        if not isinstance(text, str):
            raise TypeError(f"documents: document {k} is {type(text).__name__}, not str")
        names.append(_name(name))
        texts.append(text)
    return names, texts


def _count(name: str, value, low: int) -> int:
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    value = value.__index__()
    if not low <= value <= _LIMIT:
        raise ValueError(f"{name} must be between {low} and {_LIMIT}, not {value}")
    return value


def _flag(name: str, value) -> bool:
    numpy_bool = type(value).__module__ == "numpy" and type(value).__name__ in ("bool", "bool_")
    if not (isinstance(value, bool) or numpy_bool):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    return bool(value)


def _selection(top, sort, min_count, max_places, visible_chars_over=0):
    """The limits of `Matches.select`, checked, as the native search takes them: the groups
    left out are never located."""
    top = None if top is None else _count("top", top, 0)
    min_count = _count("min_count", min_count, 0)
    max_places = None if max_places is None else _count("max_places", max_places, 0)
    if sort is not None and sort not in _SORT_KEYS:
        raise ValueError(f"sort must be one of {', '.join(_SORT_KEYS)} or None, not {sort!r}")
    return top, sort, min_count, max_places, visible_chars_over


def _removed(removed, texts: list[str]):
    if removed is None:
        return None
    lists = list(removed)
    if len(lists) != len(texts):
        raise ValueError(f"removed must hold one list of ranges per document: {len(lists)} lists "
                         f"for {len(texts)} documents")
    checked = []
    for d, ranges in enumerate(lists):
        pairs = []
        for pair in ranges:
            try:
                start, end = (v.__index__() for v in pair)
            except (TypeError, ValueError, AttributeError):
                raise TypeError(f"removed: document {d} has {pair!r}; expected (start, end) "
                                f"ints") from None
            if not 0 <= start <= end <= len(texts[d]):
                raise ValueError(f"removed: range ({start}, {end}) of document {d} is not "
                                 f"within 0..{len(texts[d])} with start <= end")
            pairs.append((start, end))
        checked.append(pairs)
    return checked


def find_phrases(documents, *, min_words: int = _FINDER["min_words"],
                 min_chars: int = _FINDER["min_chars"], max_words: int = _FINDER["max_words"],
                 min_words_in_substring: int = _FINDER["min_words_in_substring"],
                 blocks: bool = False,
                 ignore_case: bool = False, collapse_whitespace: bool = False,
                 removed=None, top: int | None = None, sort: str | None = None,
                 min_count: int = 2, max_places: int | None = None) -> PhraseMatches:
    """Phrases of min_words..max_words words that occur twice or more across the documents.

    The rules are those of ``find_duplicates``: a phrase has more than ``min_chars`` characters
    other than spaces, stays inside one sentence, and is reported once with all its places;
    shorter phrases inside a longer one that occurs as often are left out, and phrases that
    follow each other at all their places are joined. ``blocks=True`` adds long repeated blocks.
    No phrase, join or block crosses a document's end. ``ignore_case`` lower-cases ASCII
    letters and ``collapse_whitespace`` makes every run of white space one space, each document
    on its own; ``removed`` gives, per document, (start, end) ranges to leave out. Offsets
    always index the documents as given. A corpus of one document gives the phrases of
    ``find_duplicates`` on it. ``top``, ``sort``, ``min_count`` and ``max_places`` keep the
    groups `Matches.select` would keep, chosen before anything is located, so that groups and
    places left out cost nothing beyond the search.
    """
    names, texts = _documents(documents)
    min_words = _count("min_words", min_words, 0)
    max_words = _count("max_words", max_words, 1)
    if max_words < min_words:
        raise ValueError(f"max_words must be at least min_words ({min_words}), not {max_words}")
    columns = _corpus.find_phrases(
        texts, _removed(removed, texts), _flag("ignore_case", ignore_case),
        _flag("collapse_whitespace", collapse_whitespace), min_words,
        _count("min_chars", min_chars, 0), max_words,
        _count("min_words_in_substring", min_words_in_substring, 0), _flag("blocks", blocks),
        *_selection(top, sort, min_count, max_places))
    return PhraseMatches(names, columns)


def find_passages(documents, *, min_words: int = _PASSAGE["min_words"],
                  min_chars: int = _PASSAGE["min_chars"],
                  ignore_case: bool = False, collapse_whitespace: bool = False,
                  removed=None, reference=None, top: int | None = None,
                  sort: str | None = None, min_count: int = 2,
                  max_places: int | None = None) -> PassageMatches:
    """Maximal repeated runs of whole words across the documents, longest first.

    A passage occurs at two or more places and cannot be extended by a word on the left or on
    the right at all of them together; it is bounded only by document ends, not by sentences.
    A document pasted twice is one passage; a licence shared by 200 files is one passage with
    200 occurrences. Words and the text between them are compared as they are, or after
    ``ignore_case``/``collapse_whitespace``; a passage needs at least ``min_words`` words and
    ``min_chars`` characters. Each group's text is its first occurrence. ``top``, ``sort``,
    ``min_count`` and ``max_places`` keep the groups `Matches.select` would keep, chosen before
    anything is located, so that groups and places left out cost nothing beyond the search.

    With ``reference`` (documents as ``documents`` takes them), only passages that occur both in
    ``documents`` and in the reference are kept, each with all its places; the reference's
    documents follow the others (document numbers from ``reference_from`` on, names after
    theirs), and ``covered_words`` of a document is then the words it shares with the
    reference. Passages within one side alone are never gathered: the cost is linear in both.
    """
    return _find_passages(documents, min_words, min_chars, ignore_case, collapse_whitespace,
                          removed, reference, (top, sort, min_count, max_places, 0))


def _find_passages(documents, min_words, min_chars, ignore_case, collapse_whitespace, removed,
                   reference, limits):
    """find_passages, with the limits of `_selection` as a tuple; the command line also gives
    the fewest characters other than white space a passage must exceed."""
    names, texts = _documents(documents)
    removed_ranges = _removed(removed, texts)
    reference_from = len(texts)
    if reference is not None:
        reference_names, reference_texts = _documents(reference)
        names, texts = names + reference_names, texts + reference_texts
        if removed_ranges is not None:
            removed_ranges += [[] for _ in reference_texts]
    columns = _corpus.find_passages(
        texts, removed_ranges, _flag("ignore_case", ignore_case),
        _flag("collapse_whitespace", collapse_whitespace), _count("min_words", min_words, 1),
        _count("min_chars", min_chars, 0), reference_from,
        *_selection(*limits))
    matches = PassageMatches(names, columns)
    matches.reference_from = reference_from
    return matches
