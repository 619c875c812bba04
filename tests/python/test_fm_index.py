"""The FMIndex class as Python sees it: construction errors, len(), repr, arguments.

The index's answers are checked against a brute-force oracle in tests/core/fm_index_test.cpp;
keywords, accepted argument forms, method errors and unprefixed overflow: test_frame.py.
"""

import re

import pytest

from conftest import error_of
from quarnel._native import FMIndex


@pytest.mark.parametrize("data,level", [(b"x" * 300, 5), (b"hello world", 2), (b"", 0), (b"ab" * 40, 7)])  # fmt: skip
def test_len_repr_and_heap_size(data, level):
    index = FMIndex(data, level)
    assert len(index) == len(data)
    numbers = [int(x) for x in re.findall(r"\d+", repr(index))]
    assert "FMIndex" in repr(index) and len(data) in numbers and level in numbers
    assert repr(FMIndex(data, level + 1)) != repr(index)
    assert type(index.heap_size()) is int and index.heap_size() == FMIndex(data, level).heap_size()


# The constructor binds a tuple and a dict (the methods bind as the module's functions do) and
# names itself; each flag and the level refuse what they do not convert; the engine's refusals
# of a text are ValueError.
@pytest.mark.parametrize("call,expected", [
    (lambda: FMIndex(), (TypeError, "FMIndex.__new__() missing 1 required positional argument: 'data'")),
    (lambda: FMIndex(b"a", 2, False, False, None), (TypeError, "FMIndex.__new__() takes from 1 to 4 positional arguments but 5 were given")),
    (lambda: FMIndex(b"a", level=2), (TypeError, "FMIndex.__new__() got an unexpected keyword argument 'level'")),
    (lambda: FMIndex(b"a", 1, locate_level=2), (TypeError, "FMIndex.__new__() got multiple values for argument 'locate_level'")),
    (lambda: FMIndex(b"a", None), (TypeError, "argument 'locate_level': 'NoneType' object cannot be interpreted as an integer")),
    (lambda: FMIndex(b"a", case_insensitive=None), (TypeError, "argument 'case_insensitive': 'None' is not an instance of 'bool'")),
    (lambda: FMIndex(b"a", 2, False, 0), (TypeError, "argument 'normalize_whitespace': 'int' object is not an instance of 'bool'")),
    # conversion stops at the first bad argument
    (lambda: FMIndex(b"a", 2, 1, None), (TypeError, "argument 'case_insensitive': 'int' object is not an instance of 'bool'")),
    (lambda: FMIndex(b"abc").locate(), (TypeError, "FMIndex.locate() missing 1 required positional argument: 'pattern'")),
    (lambda: FMIndex(b"a\x00b"), (ValueError, "Input data must not contain null bytes (0x00); they are reserved as sentinels")),
    (lambda: FMIndex(b"\xff\xfe", case_insensitive=True), (ValueError, "FM-index construction failed: Normalization requires valid UTF-8 input")),
])  # fmt: skip
def test_argument_and_construction_errors(call, expected):
    assert error_of(call) == expected
