"""The module's calling conventions: binding errors, converters, array results.

Names, signatures and __all__ are checked against the stubs by test_stubs.py."""

import subprocess
import sys

import numpy as np
import pytest

from conftest import BASE, BASE_RESULT, REPEAT, error_of
from quarnel import _native as q

NOT = "object is not an instance of"


@pytest.mark.parametrize("call,expected", [
    (lambda: q.count(b"banana"), "count() missing 1 required positional argument: 'pattern'"),
    (lambda: q.count(), "count() missing 2 required positional arguments: 'data' and 'pattern'"),
    (lambda: q.bwt(b"a", b"b"), "bwt() takes 1 positional arguments but 2 were given"),
    (lambda: q.suffix_array_fn(b"a", None, 1), "suffix_array_fn() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: q.bwt(b"a", text=b"b"), "bwt() got an unexpected keyword argument 'text'"),
    (lambda: q.bwt(b"a", data=b"b"), "bwt() got multiple values for argument 'data'"),
    (lambda: q.suffix_array_fn(bytearray(b"banana")), f"argument 'data': 'bytearray' {NOT} 'bytes'"),
    (lambda: q.suffix_array_fn(b"banana", backend=b"sais"), f"argument 'backend': 'bytes' {NOT} 'str'"),
    (lambda: q.inverse_bwt_fn(b"abc", 1.0), "argument 'primary_index': 'float' object cannot be interpreted as an integer"),
    (lambda: q.count("x", 5), f"argument 'data': 'str' {NOT} 'bytes'"),
    (lambda: q.count(b"x", 5), f"argument 'pattern': 'int' {NOT} 'bytes'"),
    # a zero-parameter callable only exists as a method of FMIndex
    (lambda: q.FMIndex(b"abc").heap_size(1), "FMIndex.heap_size() takes 0 positional arguments but 1 was given"),
])  # fmt: skip
def test_binding_and_conversion_type_errors(call, expected):
    assert error_of(call) == (TypeError, expected)


class Two:
    def __index__(self):
        return 2


Text, Data = type("Text", (str,), {}), type("Data", (bytes,), {})
LONGER = f"{REPEAT} and {REPEAT}"  # blocks and limits change its result


# Keywords, __index__ objects, NumPy integers and bools, str and bytes subclasses: each converter
# through each way an entry point defaults it.
@pytest.mark.parametrize("call,same_as", [
    (lambda: q.count(pattern=b"an", data=b"banana"), lambda: 2),
    (lambda: q.suffix_array_fn(data=b"ba", backend="sais").tolist(), lambda: [1, 0]),
    (lambda: q.suffix_array_fn(Data(b"banana")).tolist(), lambda: [5, 3, 1, 0, 4, 2]),
    (lambda: q.inverse_bwt_fn(b"abc", Two()), lambda: q.inverse_bwt_fn(b"abc", 2)),
    (lambda: q.inverse_bwt_fn(b"abc", np.uint64(1)), lambda: q.inverse_bwt_fn(b"abc", 1)),
    (lambda: q.find_duplicates(Text(BASE)), lambda: BASE_RESULT),
    (lambda: q.find_duplicates(BASE, Text(BASE)), lambda: BASE_RESULT),
    (lambda: q.find_duplicates(LONGER, min_words=Two(), max_words=np.uint64(3)), lambda: q.find_duplicates(LONGER, min_words=2, max_words=3)),
    (lambda: q.find_duplicates(LONGER, enable_block_detection=np.bool_(True)), lambda: q.find_duplicates(LONGER, enable_block_detection=True)),
    (lambda: q.find_duplicates_normalized(f"{REPEAT} and {REPEAT.upper()}", np.bool_(True), np.bool_(False)), lambda: q.find_duplicates_normalized(LONGER)),
    (lambda: q.FMIndex(normalize_whitespace=False, case_insensitive=True, locate_level=3, data=Data(b"AbAb")).locate(pattern=b"ab").tolist(), lambda: [2, 0]),
    (lambda: q.FMIndex(b"AbAb").count(pattern=Data(b"b")), lambda: 2),
    (lambda: q.FMIndex(b"abab", 1, np.bool_(True), np.bool_(False)).count(b"AB"), lambda: 2),
    (lambda: q.FMIndex(b"abab", Two()).locate(b"b").tolist(), lambda: [3, 1]),
])  # fmt: skip
def test_accepted_forms_convert_as_the_plain_values(call, same_as):
    assert call() == same_as()


# (Errors other than TypeError pass unchanged: test_find_duplicates.py, removed_ranges.)
def test_type_error_cause_is_preserved():
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as exc:
                raise TypeError("no index here") from exc

    with pytest.raises(TypeError) as info:
        q.inverse_bwt_fn(b"abc", BadIndex())
    assert str(info.value) == "argument 'primary_index': no index here"
    assert isinstance(info.value.__cause__, KeyError)


FIND = (q.find_duplicates, q.find_duplicates_normalized)
LIMITS = [dict(min_words=-1), dict(min_chars=2**64), dict(max_words=-5)]
LIMITS += [dict(min_words_in_substring=2**70)]


# Only TypeError gets the parameter's name: overflow and lone surrogates come as Python raises
# them, through each converter and each way an entry point defaults it.
@pytest.mark.parametrize(
    "call,error",
    [(lambda v=v: q.inverse_bwt_fn(b"abc", v), OverflowError) for v in (-1, 2**64)]
    + [(lambda v=v: q.FMIndex(b"abc", v), OverflowError) for v in (-1, 2**64, -(2**70))]
    + [(lambda f=f, kw=kw: f(BASE, **kw), OverflowError) for f in FIND for kw in LIMITS]
    + [(lambda r=r: q.find_duplicates(BASE, removed_ranges=r), OverflowError)
       for r in ([(-1, 2)], [(1, -2)], [(2**64, 3)])]
    + [(lambda: q.suffix_array_fn(b"abc", "\ud800"), UnicodeEncodeError),
       (lambda: q.find_duplicates("a\ud800b"), UnicodeEncodeError),
       (lambda: q.find_duplicates("a", "\udfff"), UnicodeEncodeError),
       (lambda: q.find_duplicates_normalized("\ud800"), UnicodeEncodeError),
       (lambda: q.distinct_substring_count("a\udc00"), UnicodeEncodeError),
       (lambda: q.longest_common_substring("abc", "\ud800"), UnicodeEncodeError)],
)  # fmt: skip
def test_overflow_and_unicode_errors_are_unprefixed(call, error):
    error_type, message = error_of(call)
    assert error_type is error and not message.startswith("argument")


@pytest.mark.parametrize(
    "call",
    [
        lambda: q.suffix_array_fn(b"banana"),
        lambda: q.lcp_array(b"banana"),
        lambda: q.locate(b"banana", b"a"),
        lambda: q.inverse_suffix_array(b"banana"),
        lambda: q.sa_from_bytes(bytes(16)),
        lambda: q.suffix_array_fn(b""),
        lambda: q.locate(b"banana", b"zz"),
        lambda: q.FMIndex(b"abab").locate(b"ab"),
    ],
)
def test_array_results_are_fresh_writable_uint64(call):
    first, second = call(), call()
    assert first.dtype == np.uint64 and first.ndim == 1
    assert first.flags.c_contiguous and first.flags.writeable and first.flags.owndata
    if len(first):
        first[0] = 12345
        assert second[0] != 12345


NO_NUMPY = """
import sys
sys.modules["numpy"] = None  # makes every import of numpy fail
from quarnel import _native
assert _native.count(b"banana", b"an") == 2 and _native.bwt(b"banana") == (b"nnbaaa", 3)
try:
    _native.suffix_array_fn(b"banana")
except ImportError as exc:
    print(exc)
"""


def test_numpy_is_needed_only_for_array_results():
    proc = subprocess.run([sys.executable, "-c", NO_NUMPY], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert "NumPy" in proc.stdout
