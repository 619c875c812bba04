"""The FMIndex class as Python sees it: construction errors, len(), repr, arguments.

The index's answers are checked against a brute-force oracle in tests/core/fm_index_test.cpp;
keywords, accepted argument forms and unprefixed overflow: test_frame.py.
"""

import re

import pytest

from quarnel import _native

FMIndex = _native.FMIndex


@pytest.mark.parametrize("data,level", [(b"x" * 300, 5), (b"hello world", 2), (b"", 0), (b"ab" * 40, 7)])
def test_len_repr_and_heap_size(data, level):
    index = FMIndex(data, level)
    assert len(index) == len(data)
    text = repr(index)
    assert "FMIndex" in text
    numbers = [int(x) for x in re.findall(r"\d+", text)]
    assert len(data) in numbers and level in numbers
    assert repr(FMIndex(data, level + 1)) != text
    assert type(index.heap_size()) is int and index.heap_size() == FMIndex(data, level).heap_size()


def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.type, str(info.value)


INDEX = FMIndex(b"abc")


# The binding's own errors for a class: its constructor and methods name themselves; the
# conversions name the parameter (other converters: test_frame.py); the engine's are ValueError.
@pytest.mark.parametrize(
    "call,expected",
    [
        (lambda: FMIndex(), (TypeError, "FMIndex.__new__() missing 1 required positional argument: 'data'")),
        (lambda: FMIndex(b"a", 2, False, False, None), (TypeError, "FMIndex.__new__() takes from 1 to 4 positional arguments but 5 were given")),
        (lambda: FMIndex(b"a", level=2), (TypeError, "FMIndex.__new__() got an unexpected keyword argument 'level'")),
        (lambda: FMIndex(b"a", 1, locate_level=2), (TypeError, "FMIndex.__new__() got multiple values for argument 'locate_level'")),
        (lambda: FMIndex("abc"), (TypeError, "argument 'data': 'str' object is not an instance of 'bytes'")),
        (lambda: FMIndex(b"a", None), (TypeError, "argument 'locate_level': 'NoneType' object cannot be interpreted as an integer")),
        (lambda: FMIndex(b"a", case_insensitive=None), (TypeError, "argument 'case_insensitive': 'None' is not an instance of 'bool'")),
        (lambda: FMIndex(b"a", 2, False, 0), (TypeError, "argument 'normalize_whitespace': 'int' object is not an instance of 'bool'")),
        # conversion stops at the first bad argument
        (lambda: FMIndex(b"a", 2, 1, None), (TypeError, "argument 'case_insensitive': 'int' object is not an instance of 'bool'")),
        (lambda: INDEX.locate(), (TypeError, "FMIndex.locate() missing 1 required positional argument: 'pattern'")),
        (lambda: INDEX.count(b"a", b"b"), (TypeError, "FMIndex.count() takes 1 positional arguments but 2 were given")),
        (lambda: INDEX.count(b"a", pattern=b"b"), (TypeError, "FMIndex.count() got multiple values for argument 'pattern'")),
        (lambda: INDEX.locate(text=b"a"), (TypeError, "FMIndex.locate() got an unexpected keyword argument 'text'")),
        (lambda: INDEX.count("a"), (TypeError, "argument 'pattern': 'str' object is not an instance of 'bytes'")),
        # the engine's refusals of a text
        (lambda: FMIndex(b"a\x00b"), (ValueError, "Input data must not contain null bytes (0x00); they are reserved as sentinels")),
        (lambda: FMIndex(b"\xff\xfe", case_insensitive=True), (ValueError, "FM-index construction failed: Normalization requires valid UTF-8 input")),
    ],
)
def test_argument_and_construction_errors(call, expected):
    assert error_of(call) == expected
