"""quarnel: fast text tooling built on suffix arrays."""

from quarnel import _native
from quarnel._native import *  # noqa: F401,F403

__all__ = list(_native.__all__)

# Reusable indexes kept by the caller (quarnel._index).
from quarnel._index import SuffixArray  # noqa: E402

__all__.append("SuffixArray")
