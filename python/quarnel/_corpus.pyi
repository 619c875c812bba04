from typing import Optional, Sequence

import numpy as np
import numpy.typing as npt

# Result columns by name ("texts" is a list of str, every other value a uint64 array).
Columns = dict[str, object]
Ranges = Optional[Sequence[Sequence[tuple[int, int]]]]

__all__: list[str]

def find_phrases(documents: Sequence[str], removed: Ranges, ignore_case: bool,
                 collapse_whitespace: bool, min_words: int, min_chars: int, max_words: int,
                 min_words_in_substring: int, blocks: bool) -> Columns:
    """The finder's phrases over documents analysed together, as result columns."""

def find_passages(documents: Sequence[str], removed: Ranges, ignore_case: bool,
                  collapse_whitespace: bool, min_words: int, min_chars: int) -> Columns:
    """Maximal repeated runs of words over documents analysed together, as result columns."""
