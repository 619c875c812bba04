"""quarnel: fast text tooling built on suffix arrays.

Every function runs in time linear in its input (or n log n) on any input. The exception is
``FMIndex.locate`` at the default ``locate_level``: the index samples suffix-array rows, not text
positions, so the walk from a hit to a sample has no fixed bound, and on highly repetitive data
(Fibonacci strings, long repeats) each hit can take milliseconds. For such data use
``quarnel.SuffixArray``, built once and reused, whose ``locate`` takes O(log n + occurrences), or
a lower ``locate_level``.
"""

# One shared object: importing _native also defines the submodules _index and _corpus.
from quarnel import _corpus, _index, _native  # noqa: F401
from quarnel._version import __version__  # noqa: F401
from quarnel._native import *  # noqa: F401,F403

__all__ = list(_native.__all__)

# Reusable indexes kept by the caller (quarnel._index).
from quarnel._index import SuffixArray  # noqa: E402,F401

__all__.append("SuffixArray")

# Documents analysed together (quarnel.corpus over quarnel._corpus).
from quarnel.corpus import (  # noqa: E402
    PassageMatches,
    PhraseMatches,
    find_passages,
    find_phrases,
)

__all__ += ["find_phrases", "find_passages", "PhraseMatches", "PassageMatches"]

# Cleaning a corpus (quarnel.cleaning over quarnel._corpus).
from quarnel.cleaning import Cleaned, Spans, dedup  # noqa: E402

__all__ += ["dedup", "Cleaned", "Spans"]
