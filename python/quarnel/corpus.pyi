import os
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import NamedTuple, Optional, Union, overload

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]
Name = Optional[str]
DocumentName = Union[str, os.PathLike[str], None]
Documents = Union[str, Iterable[str], Iterable[tuple[DocumentName, str]], Mapping[DocumentName, str]]
Removed = Optional[Sequence[Sequence[tuple[int, int]]]]

__all__: list[str]

class Occurrence(NamedTuple):
    document: int
    name: Name
    start: int
    end: int
    line: int
    column: int
    end_line: int
    end_column: int

class Group(NamedTuple):
    text: str
    count: int
    words: int
    occurrences: list[Occurrence]

class Matches(Sequence[Group]):
    names: tuple[Name, ...]
    texts: list[str]
    words: Int64Array
    chars: Int64Array
    counts: Int64Array
    first: Int64Array
    group: Int64Array
    document: Int64Array
    start: Int64Array
    end: Int64Array
    line: Int64Array
    column: Int64Array
    end_line: Int64Array
    end_column: Int64Array
    document_words: Int64Array
    covered_words: Int64Array
    document_chars: Int64Array
    def __init__(self, names: Sequence[Name], columns: dict[str, object]) -> None: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, g: int) -> Group: ...
    @overload
    def __getitem__(self, g: slice) -> list[Group]: ...
    def __iter__(self) -> Iterator[Group]: ...
    def to_dicts(self) -> list[dict[str, object]]: ...
    def to_pandas(self) -> object: ...
    def to_arrow(self) -> object: ...

class PhraseMatches(Matches): ...
class PassageMatches(Matches): ...

def find_phrases(documents: Documents, *, min_words: int = 4, min_chars: int = 9,
                 max_words: int = 50, min_words_in_substring: int = 2, blocks: bool = False,
                 ignore_case: bool = False, collapse_whitespace: bool = False,
                 removed: Removed = None) -> PhraseMatches: ...
def find_passages(documents: Documents, *, min_words: int = 8, min_chars: int = 0,
                  ignore_case: bool = False, collapse_whitespace: bool = False,
                  removed: Removed = None) -> PassageMatches: ...
