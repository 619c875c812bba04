from typing import Any, Optional, Sequence

import numpy as np
import numpy.typing as npt

# Result columns by name ("texts" is a list of str, every other value a uint64 array).
_Columns = dict[str, Any]
_Ranges = Optional[Sequence[Sequence[tuple[int, int]]]]

__all__ = [
    "find_phrases",
    "find_passages",
    "dedup",
    "window_fingerprints",
    "sketch_windows",
    "in_slots",
    "decide_windows",
    "cut_marked",
]

# Defaults of the parameters, and the largest count parameter, as the core defines them.
_FINDER_DEFAULTS: dict[str, int]
_PASSAGE_DEFAULTS: dict[str, int]
_COUNT_LIMIT: int

def find_phrases(documents: Sequence[str], removed: _Ranges, ignore_case: bool,
                 collapse_whitespace: bool, min_words: int, min_chars: int, max_words: int,
                 min_words_in_substring: int, blocks: bool, top: Optional[int], sort: Optional[str],
                 min_count: int, max_places: Optional[int], visible_chars_over: int) -> _Columns:
    """The finder's phrases over documents analysed together, as result columns."""

def find_passages(documents: Sequence[str], removed: _Ranges, ignore_case: bool,
                  collapse_whitespace: bool, min_words: int, min_chars: int,
                  reference_from: int, top: Optional[int], sort: Optional[str], min_count: int,
                  max_places: Optional[int], visible_chars_over: int) -> _Columns:
    """Maximal repeated runs of words over documents analysed together, as result columns."""

# columns: first, words, chars, document, start, end, line, column, end_line, end_column, count;
# names in the form the style writes them (JSON literals, HTML-escaped, CSV fields or as they are).
def _format_groups(style: str, columns: Sequence[npt.NDArray[np.int64]], names: Sequence[bytes],
                   texts: Sequence[str], documents: Optional[Sequence[str]], start: int,
                   end: int, prefix: str) -> tuple[bytes, int]:
    """Report rows (json, jsonl, passages, phrases, html, csv or sarif) of groups from start on,
    as UTF-8 bytes, and the group after them: they end at end or after about a megabyte."""

def _html_stylesheet() -> str:
    """The stylesheet of the command line's HTML report."""

def dedup(documents: Sequence[str], reference: Optional[Sequence[str]], ignore_case: bool,
          collapse_whitespace: bool, min_words: int, drop_below: int) -> _Columns:
    """The documents cleaned of later copies of repeated windows and of windows in the reference."""

def window_fingerprints(documents: Sequence[str], ignore_case: bool, collapse_whitespace: bool,
                        min_words: int) -> _Columns:
    """Every window's fingerprint, document, word and character offset, as columns."""

def sketch_windows(slots: Sequence[npt.NDArray[np.generic]], bits: int) -> _Columns:
    """The slots (low bits of the arrays' items) some window takes and two or more take, as bits."""

def in_slots(high: npt.NDArray[np.generic], slots: npt.NDArray[np.generic], bits: int) -> _Columns:
    """Per window, 1 where its slot (low bits of high) is set in the bit array slots."""

# high, low, document: uint64 arrays; word: uint32; reference: uint8 (or bool).
def decide_windows(high: npt.NDArray[np.generic], low: npt.NDArray[np.generic],
                   document: npt.NDArray[np.generic], word: npt.NDArray[np.generic],
                   reference: npt.NDArray[np.generic]) -> _Columns:
    """Of window records gathered by fingerprint: each marked record and the record deciding it."""

# marks: document, word, why (uint8), kept_document, kept_word, kept_start (uint64 arrays).
def cut_marked(documents: Sequence[str], marks: dict[str, npt.NDArray[np.generic]],
               ignore_case: bool, collapse_whitespace: bool, min_words: int, drop_below: int,
               first_document: int) -> _Columns:
    """The documents cleaned of the windows the marks name, as cleaned texts and span columns."""
