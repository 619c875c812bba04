import os
from typing import Any, Sequence, TypedDict, final

import numpy as np
import numpy.typing as npt

_U64Array = npt.NDArray[np.uint64]

class _Occurrence(TypedDict):
    start: int
    end: int

class _DuplicatePhrase(TypedDict):
    phrase: str
    count: int
    string_length: int
    number_of_words: int
    occurrences: list[_Occurrence]

__all__ = [
    "suffix_array_fn",
    "lcp_array",
    "count",
    "locate",
    "search_range",
    "find_duplicates",
    "find_duplicates_normalized",
    "bwt",
    "inverse_bwt_fn",
    "longest_common_substring",
    "distinct_substring_count",
    "inverse_suffix_array",
    "sa_to_bytes",
    "sa_from_bytes",
    "FMIndex",
]

def suffix_array_fn(data: bytes, backend: str | None = None) -> _U64Array:
    """Build a suffix array from raw bytes."""

def lcp_array(data: bytes) -> _U64Array:
    """Build an LCP array from raw bytes."""

def count(data: bytes, pattern: bytes) -> int:
    """Count occurrences of a pattern in data."""

def locate(data: bytes, pattern: bytes) -> _U64Array:
    """Locate all positions of a pattern in data."""

def search_range(data: bytes, pattern: bytes) -> tuple[int, int]:
    """Return the suffix array range (lo, hi) for a pattern."""

def find_duplicates(
    text: str,
    sanitized_text: str | None = None,
    removed_ranges: Sequence[tuple[int, int]] | None = None,
    min_words: int | None = None,
    min_chars: int | None = None,
    max_words: int | None = None,
    min_words_in_substring: int | None = None,
    enable_block_detection: bool | None = None,
) -> list[_DuplicatePhrase]:
    """Find duplicate phrases in text."""

def find_duplicates_normalized(
    text: str,
    case_insensitive: bool = False,
    collapse_whitespace: bool = False,
    min_words: int | None = None,
    min_chars: int | None = None,
    max_words: int | None = None,
    min_words_in_substring: int | None = None,
    enable_block_detection: bool | None = None,
) -> list[_DuplicatePhrase]:
    """Find duplicate phrases with automatic text normalization."""

def bwt(data: bytes) -> tuple[bytes, int]:
    """Compute the Burrows-Wheeler Transform, returning (bwt_bytes, primary_index)."""

def inverse_bwt_fn(bwt_data: bytes, primary_index: int) -> bytes:
    """Reconstruct data from its BWT."""

def longest_common_substring(text1: str, text2: str) -> str:
    """Find the longest common substring of two strings."""

def distinct_substring_count(text: str) -> int:
    """Count the number of distinct substrings using the LCP array."""

def inverse_suffix_array(data: bytes) -> _U64Array:
    """Build the inverse suffix array."""

def sa_to_bytes(data: bytes) -> bytes:
    """Serialize a suffix array to bytes (little-endian u64)."""

def sa_from_bytes(data: bytes) -> _U64Array:
    """Deserialize a suffix array from bytes (little-endian u64)."""

@final
class FMIndex:
    def __new__(
        cls,
        data: bytes,
        locate_level: int = 2,
        case_insensitive: bool = False,
        normalize_whitespace: bool = False,
    ) -> FMIndex: ...
    def count(self, pattern: bytes) -> int:
        """Count occurrences of pattern in O(p) time (independent of text length)."""
    def locate(self, pattern: bytes) -> _U64Array:
        """Locate all positions where pattern occurs."""
    def heap_size(self) -> int:
        """Heap memory used by the index in bytes."""
    def __len__(self) -> int: ...
    def count_many(self, patterns: Sequence[bytes]) -> _U64Array:
        """Count occurrences of every pattern of a list of bytes; a uint64 array."""
    def locate_many(self, patterns: Sequence[bytes]) -> tuple[_U64Array, _U64Array]:
        """Locate every pattern: (positions, offsets), pattern k owning
        positions[offsets[k]:offsets[k + 1]]."""
    def save(self, path: str | bytes | os.PathLike[str]) -> None:
        """Save the index to a file that FMIndex.load() maps back."""
    @classmethod
    def load(cls, path: str | bytes | os.PathLike[str]) -> FMIndex:
        """Open an index saved by save(); a damaged or foreign file raises ValueError."""
    def to_bytes(self) -> bytes:
        """The saved form of the index as bytes (what pickling uses)."""
    @classmethod
    def from_bytes(cls, data: bytes) -> FMIndex:
        """Rebuild an index from to_bytes(); damaged data raises ValueError."""
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
