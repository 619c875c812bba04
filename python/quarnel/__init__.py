"""quarnel: fast text tooling built on suffix arrays."""

from quarnel import _native
from quarnel._version import __version__
from quarnel._native import *  # noqa: F401,F403

__all__ = list(_native.__all__)
