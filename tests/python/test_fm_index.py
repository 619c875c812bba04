"""The FMIndex class as Python sees it: construction errors, results, len(), repr, arguments.

The index's answers are checked against a brute-force oracle in tests/core/fm_index_test.cpp.
"""

import inspect
import re

import numpy as np
import pytest

from quarnel import _native

FMIndex = _native.FMIndex

NULL_MESSAGE = "Input data must not contain null bytes (0x00); they are reserved as sentinels"
UTF8_MESSAGE = "FM-index construction failed: Normalization requires valid UTF-8 input"


# ---------------------------------------------------------------------------------------------
# Results and construction errors
# ---------------------------------------------------------------------------------------------

def test_empty_text():
    index = FMIndex(b"")
    assert len(index) == 0
    assert index.count(b"") == 0 and index.count(b"a") == 0
    assert index.locate(b"").tolist() == [] and index.locate(b"").dtype == np.uint64
    assert index.count(b"\x00") == 1 and index.locate(b"\x00").tolist() == [0]
    # on the empty text any run of sentinels wraps onto the one position
    assert index.count(b"\x00\x00\x00") == 1 and index.locate(b"\x00\x00").tolist() == [0]
    assert index.locate(b"a").tolist() == []


@pytest.mark.parametrize(
    "data,kwargs,message",
    [
        (b"a\x00b", {}, NULL_MESSAGE),
        (b"a\x00b", dict(case_insensitive=True), NULL_MESSAGE),
        (b"a\x00b", dict(normalize_whitespace=True), NULL_MESSAGE),
        (b"\x00", {}, NULL_MESSAGE),
        (b"\xff\xfe", dict(case_insensitive=True), UTF8_MESSAGE),
        (b"\xff\xfe", dict(normalize_whitespace=True), UTF8_MESSAGE),
        (b"\xff\x00", {}, NULL_MESSAGE),
        (b"\xff\x00", dict(case_insensitive=True), UTF8_MESSAGE),
        (b"\xff\x00", dict(normalize_whitespace=True), UTF8_MESSAGE),
        ("\ud800".encode("utf-8", "surrogatepass"), dict(case_insensitive=True), UTF8_MESSAGE),
    ],
)
def test_construction_errors(data, kwargs, message):
    with pytest.raises(ValueError) as info:
        FMIndex(data, **kwargs)
    assert str(info.value) == message


# ---------------------------------------------------------------------------------------------
# heap_size
# ---------------------------------------------------------------------------------------------

def test_heap_size_is_an_int_and_stable():
    index = FMIndex(b"banana" * 50)
    assert type(index.heap_size()) is int
    assert index.heap_size() == index.heap_size() == FMIndex(b"banana" * 50).heap_size()


# ---------------------------------------------------------------------------------------------
# Surface: signatures, docstrings, len, repr, arguments
# ---------------------------------------------------------------------------------------------

def test_class_signature_and_docstrings():
    assert FMIndex.__text_signature__ == "(data, locate_level=2, case_insensitive=False, normalize_whitespace=False)"
    assert str(inspect.signature(FMIndex)) == "(data, locate_level=2, case_insensitive=False, normalize_whitespace=False)"
    assert not FMIndex.__doc__
    assert FMIndex.__module__ == "quarnel._native"
    assert _native.__all__[-1] == "FMIndex"
    members = {
        "count": ("($self, pattern)", "Count occurrences of pattern in O(p) time (independent of text length)."),
        "locate": ("($self, pattern)", "Locate all positions where pattern occurs."),
        "heap_size": ("($self)", "Heap memory used by the index in bytes."),
    }
    index = FMIndex(b"abc")
    for name, (signature, doc) in members.items():
        method = getattr(FMIndex, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc
        bound_signature = "(" + signature[len("($self"):].lstrip(", ")
        assert str(inspect.signature(getattr(index, name))) == bound_signature


@pytest.mark.parametrize("data,level", [(b"x" * 300, 5), (b"hello world", 2), (b"", 0), (b"ab" * 40, 7)])
def test_len_and_repr(data, level):
    index = FMIndex(data, level)
    assert len(index) == len(data)
    text = repr(index)
    assert "FMIndex" in text
    numbers = [int(x) for x in re.findall(r"\d+", text)]
    assert len(data) in numbers and level in numbers
    assert repr(FMIndex(data, level + 1)) != text


def test_len_counts_the_prepared_text():
    assert len(FMIndex(b"  a \t\n b  ", normalize_whitespace=True)) == 3
    assert len(FMIndex(b"ABC", case_insensitive=True)) == 3


def test_keyword_arguments_and_bytes_subclasses():
    class Data(bytes):
        pass

    index = FMIndex(normalize_whitespace=False, case_insensitive=True, locate_level=3, data=Data(b"AbAb"))
    assert index.locate(pattern=b"ab").tolist() == [2, 0]
    assert index.count(pattern=Data(b"B")) == 2
    assert FMIndex(b"abab", 1, np.bool_(True), np.bool_(False)).count(b"AB") == 2

    class Level:
        def __index__(self):
            return 4

    assert FMIndex(b"abab", Level()).locate(b"b").tolist() == [3, 1]


def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.type, str(info.value)


INDEX = FMIndex(b"abc")


@pytest.mark.parametrize(
    "call,expected",
    [
        (lambda: FMIndex(), (TypeError, "FMIndex.__new__() missing 1 required positional argument: 'data'")),
        (lambda: FMIndex(b"a", 2, False, False, None),
         (TypeError, "FMIndex.__new__() takes from 1 to 4 positional arguments but 5 were given")),
        (lambda: FMIndex(b"a", level=2), (TypeError, "FMIndex.__new__() got an unexpected keyword argument 'level'")),
        (lambda: FMIndex(b"a", data=b"b"), (TypeError, "FMIndex.__new__() got multiple values for argument 'data'")),
        (lambda: FMIndex(b"a", 1, locate_level=2),
         (TypeError, "FMIndex.__new__() got multiple values for argument 'locate_level'")),
        (lambda: FMIndex("abc"), (TypeError, "argument 'data': 'str' object is not an instance of 'bytes'")),
        (lambda: FMIndex(bytearray(b"abc")),
         (TypeError, "argument 'data': 'bytearray' object is not an instance of 'bytes'")),
        (lambda: FMIndex(None), (TypeError, "argument 'data': 'NoneType' object is not an instance of 'bytes'")),
        (lambda: FMIndex(b"a", None),
         (TypeError, "argument 'locate_level': 'NoneType' object cannot be interpreted as an integer")),
        (lambda: FMIndex(b"a", 1.0),
         (TypeError, "argument 'locate_level': 'float' object cannot be interpreted as an integer")),
        (lambda: FMIndex(b"a", case_insensitive=None),
         (TypeError, "argument 'case_insensitive': 'None' is not an instance of 'bool'")),
        (lambda: FMIndex(b"a", normalize_whitespace=None),
         (TypeError, "argument 'normalize_whitespace': 'None' is not an instance of 'bool'")),
        (lambda: FMIndex(b"a", case_insensitive=1),
         (TypeError, "argument 'case_insensitive': 'int' object is not an instance of 'bool'")),
        (lambda: FMIndex(b"a", 2, False, 0),
         (TypeError, "argument 'normalize_whitespace': 'int' object is not an instance of 'bool'")),
        # conversion stops at the first bad argument
        (lambda: FMIndex("a", None, None, None),
         (TypeError, "argument 'data': 'str' object is not an instance of 'bytes'")),
        (lambda: FMIndex(b"a", 2, 1, None),
         (TypeError, "argument 'case_insensitive': 'int' object is not an instance of 'bool'")),
        (lambda: INDEX.count(), (TypeError, "FMIndex.count() missing 1 required positional argument: 'pattern'")),
        (lambda: INDEX.locate(), (TypeError, "FMIndex.locate() missing 1 required positional argument: 'pattern'")),
        (lambda: INDEX.count(b"a", b"b"), (TypeError, "FMIndex.count() takes 1 positional arguments but 2 were given")),
        (lambda: INDEX.locate(b"a", b"b"),
         (TypeError, "FMIndex.locate() takes 1 positional arguments but 2 were given")),
        (lambda: INDEX.count(b"a", pattern=b"b"),
         (TypeError, "FMIndex.count() got multiple values for argument 'pattern'")),
        (lambda: INDEX.locate(text=b"a"), (TypeError, "FMIndex.locate() got an unexpected keyword argument 'text'")),
        (lambda: INDEX.count("a"), (TypeError, "argument 'pattern': 'str' object is not an instance of 'bytes'")),
        (lambda: INDEX.locate("a"), (TypeError, "argument 'pattern': 'str' object is not an instance of 'bytes'")),
        (lambda: INDEX.locate(None), (TypeError, "argument 'pattern': 'NoneType' object is not an instance of 'bytes'")),
        (lambda: INDEX.count(memoryview(b"a")),
         (TypeError, "argument 'pattern': 'memoryview' object is not an instance of 'bytes'")),
    ],
)
def test_argument_errors(call, expected):
    assert error_of(call) == expected


@pytest.mark.parametrize("level", [-1, 2**64, -(2**70)])
def test_locate_level_out_of_range_is_unprefixed_overflow(level):
    error_type, message = error_of(lambda: FMIndex(b"abc", level))
    assert error_type is OverflowError
    assert not message.startswith("argument")


def test_heap_size_takes_no_arguments():
    assert error_of(lambda: INDEX.heap_size(1))[0] is TypeError
    assert error_of(lambda: INDEX.heap_size(pattern=b"a"))[0] is TypeError


def test_locate_returns_fresh_writable_arrays():
    index = FMIndex(b"abab")
    first, second = index.locate(b"ab"), index.locate(b"ab")
    assert first.flags.c_contiguous and first.flags.writeable and first.flags.owndata
    first[0] = 99
    assert second.tolist() == [2, 0] and index.locate(b"ab").tolist() == [2, 0]
