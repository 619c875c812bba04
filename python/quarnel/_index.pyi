import os
from typing import Sequence, Union, final

import numpy as np
import numpy.typing as npt

_U64Array = npt.NDArray[np.uint64]
# bytes, bytearray, memoryview, mmap or a uint8 array; or a 1-D uint16/uint32/int32/uint64/int64
# array of token ids below 2^32.
_IndexedData = Union[bytes, bytearray, memoryview, npt.NDArray[np.integer], object]
# bytes-like for byte data; an integer array or a sequence of ints for token data.
_Pattern = Union[bytes, bytearray, memoryview, npt.NDArray[np.integer], Sequence[int]]
_Patterns = Union[Sequence[_Pattern], npt.NDArray[np.integer]]

__all__ = [
    "SuffixArray",
]

@final
class SuffixArray:
    def __new__(cls, data: _IndexedData) -> SuffixArray: ...
    def count(self, pattern: _Pattern) -> int:
        """Number of occurrences of one pattern."""
    def count_many(self, patterns: _Patterns) -> _U64Array:
        """Occurrence counts of a list of patterns (or the rows of a 2-D array), as uint64.

        The first batch here or in range_many or locate_many of 1024 or more byte patterns
        builds sampled keys, kept for later batches: one more byte per byte of data."""
    def range(self, pattern: _Pattern) -> tuple[int, int]:
        """The suffix-array interval (lo, hi) of one pattern."""
    def range_many(self, patterns: _Patterns) -> tuple[_U64Array, _U64Array]:
        """The intervals of many patterns as (lo, hi) arrays."""
    def locate(self, pattern: _Pattern) -> _U64Array:
        """Ascending start positions of one pattern."""
    def locate_many(self, patterns: _Patterns) -> tuple[_U64Array, _U64Array]:
        """Ascending positions of many patterns: (positions, offsets)."""
    def lcp(self) -> npt.NDArray[np.uint32] | _U64Array:
        """The LCP array (built on first use, then kept), read-only."""
    def bwt(self) -> tuple[bytes | npt.NDArray[np.unsignedinteger], int]:
        """The Burrows-Wheeler transform: (last column, primary index)."""
    def save(self, path: str | bytes | os.PathLike[str]) -> None:
        """Save the suffix array (not the data) to a file."""
    @classmethod
    def load(cls, path: str | bytes | os.PathLike[str], data: _IndexedData) -> SuffixArray:
        """Map a saved suffix array back over the data it was built from."""
    @property
    def array(self) -> npt.NDArray[np.uint32] | _U64Array:
        """The suffix array as a read-only NumPy view (uint32 below 2^31 symbols, else uint64)."""
    @property
    def copied(self) -> bool:
        """Whether the data was copied (its source could change) rather than used in place."""
    @property
    def symbol_bytes(self) -> int:
        """Bytes per indexed symbol: 1 for bytes, 2 or 4 for token ids."""
    def __len__(self) -> int: ...
