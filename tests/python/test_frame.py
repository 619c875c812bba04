"""The module's calling conventions: binding errors, converters, array results.

Names, signatures and __all__ are checked against the stubs by test_stubs.py."""

import numpy as np
import pytest

from quarnel import _native


def call_error(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.type, str(info.value)


@pytest.mark.parametrize(
    "call,expected",
    [
        (lambda: _native.count(b"banana"), "count() missing 1 required positional argument: 'pattern'"),
        (lambda: _native.count(), "count() missing 2 required positional arguments: 'data' and 'pattern'"),
        (lambda: _native.bwt(b"a", b"b"), "bwt() takes 1 positional arguments but 2 were given"),
        (lambda: _native.bwt(), "bwt() missing 1 required positional argument: 'data'"),
        (lambda: _native.suffix_array_fn(b"a", None, 1), "suffix_array_fn() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: _native.bwt(b"a", text=b"b"), "bwt() got an unexpected keyword argument 'text'"),
        (lambda: _native.bwt(b"a", data=b"b"), "bwt() got multiple values for argument 'data'"),
        (lambda: _native.suffix_array_fn("banana"), "argument 'data': 'str' object is not an instance of 'bytes'"),
        (lambda: _native.suffix_array_fn(bytearray(b"banana")), "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
        (lambda: _native.suffix_array_fn(memoryview(b"banana")), "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
        (lambda: _native.suffix_array_fn(b"banana", backend=3), "argument 'backend': 'int' object is not an instance of 'str'"),
        (lambda: _native.suffix_array_fn(b"banana", backend=b"sais"), "argument 'backend': 'bytes' object is not an instance of 'str'"),
        (lambda: _native.inverse_bwt_fn(b"abc", 1.0), "argument 'primary_index': 'float' object cannot be interpreted as an integer"),
        (lambda: _native.count("x", 5), "argument 'data': 'str' object is not an instance of 'bytes'"),
        (lambda: _native.count(b"x", 5), "argument 'pattern': 'int' object is not an instance of 'bytes'"),
        # a zero-parameter callable only exists as a method of FMIndex
        (lambda: _native.FMIndex(b"abc").heap_size(1), "FMIndex.heap_size() takes 0 positional arguments but 1 was given"),
    ],
)
def test_binding_and_conversion_type_errors(call, expected):
    assert call_error(call) == (TypeError, expected)


class Two:
    def __index__(self):
        return 2


class Text(str):
    pass


class Data(bytes):
    pass


BASE = "alpha beta gamma delta and alpha beta gamma delta"
BASE_RESULT = [{"phrase": "alpha beta gamma delta", "count": 2, "string_length": 22, "number_of_words": 4,
                "occurrences": [{"start": 0, "end": 22}, {"start": 27, "end": 49}]}]
REPEAT = " ".join(f"w{i}x" for i in range(60))
LONGER = f"{REPEAT} and {REPEAT}"  # blocks and limits change its result


# Keywords, __index__ objects, NumPy integers and bools, str and bytes subclasses: each converter
# through each way an entry point defaults it.
@pytest.mark.parametrize(
    "call,same_as",
    [
        (lambda: _native.count(pattern=b"an", data=b"banana"), lambda: 2),
        (lambda: _native.suffix_array_fn(data=b"ba", backend="sais").tolist(), lambda: [1, 0]),
        (lambda: _native.suffix_array_fn(Data(b"banana")).tolist(), lambda: [5, 3, 1, 0, 4, 2]),
        (lambda: _native.inverse_bwt_fn(b"abc", Two()), lambda: _native.inverse_bwt_fn(b"abc", 2)),
        (lambda: _native.inverse_bwt_fn(b"abc", np.uint64(1)), lambda: _native.inverse_bwt_fn(b"abc", 1)),
        (lambda: _native.find_duplicates(Text(BASE)), lambda: BASE_RESULT),
        (lambda: _native.find_duplicates(BASE, Text(BASE)), lambda: BASE_RESULT),
        (lambda: _native.find_duplicates(LONGER, min_words=Two(), max_words=np.uint64(3)),
         lambda: _native.find_duplicates(LONGER, min_words=2, max_words=3)),
        (lambda: _native.find_duplicates(LONGER, enable_block_detection=np.bool_(True)),
         lambda: _native.find_duplicates(LONGER, enable_block_detection=True)),
        (lambda: _native.find_duplicates_normalized(f"{REPEAT} and {REPEAT.upper()}", np.bool_(True), np.bool_(False)),
         lambda: _native.find_duplicates_normalized(f"{REPEAT} and {REPEAT}")),
        (lambda: _native.FMIndex(normalize_whitespace=False, case_insensitive=True, locate_level=3,
                                 data=Data(b"AbAb")).locate(pattern=b"ab").tolist(), lambda: [2, 0]),
        (lambda: _native.FMIndex(b"AbAb").count(pattern=Data(b"b")), lambda: 2),
        (lambda: _native.FMIndex(b"abab", 1, np.bool_(True), np.bool_(False)).count(b"AB"), lambda: 2),
        (lambda: _native.FMIndex(b"abab", Two()).locate(b"b").tolist(), lambda: [3, 1]),
    ],
)
def test_accepted_forms_convert_as_the_plain_values(call, same_as):
    assert call() == same_as()


def test_type_error_cause_is_preserved_and_other_errors_pass_unchanged():
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as exc:
                raise TypeError("no index here") from exc

    class Exploding:
        def __index__(self):
            raise RuntimeError("boom")

    with pytest.raises(TypeError) as info:
        _native.inverse_bwt_fn(b"abc", BadIndex())
    assert str(info.value) == "argument 'primary_index': no index here"
    assert isinstance(info.value.__cause__, KeyError)
    assert call_error(_native.inverse_bwt_fn, b"abc", Exploding()) == (RuntimeError, "boom")


# Only TypeError gets the parameter's name: overflow and lone surrogates come as Python raises
# them, through each converter and each way an entry point defaults it.
@pytest.mark.parametrize(
    "call,error",
    [
        *[(lambda v=v: _native.inverse_bwt_fn(b"abc", v), OverflowError) for v in (-1, 2**64)],
        *[(lambda v=v: _native.FMIndex(b"abc", v), OverflowError) for v in (-1, 2**64, -(2**70))],
        *[(lambda kw=kw: fn(BASE, **kw), OverflowError)
          for fn in (_native.find_duplicates, _native.find_duplicates_normalized)
          for kw in (dict(min_words=-1), dict(min_chars=2**64), dict(max_words=-5),
                     dict(min_words_in_substring=2**70))],
        *[(lambda r=r: _native.find_duplicates(BASE, removed_ranges=r), OverflowError)
          for r in ([(-1, 2)], [(1, -2)], [(2**64, 3)])],
        (lambda: _native.suffix_array_fn(b"abc", "\ud800"), UnicodeEncodeError),
        (lambda: _native.find_duplicates("a\ud800b"), UnicodeEncodeError),
        (lambda: _native.find_duplicates("a", "\udfff"), UnicodeEncodeError),
        (lambda: _native.find_duplicates_normalized("\ud800"), UnicodeEncodeError),
        (lambda: _native.distinct_substring_count("a\udc00"), UnicodeEncodeError),
        (lambda: _native.longest_common_substring("abc", "\ud800"), UnicodeEncodeError),
    ],
)
def test_overflow_and_unicode_errors_are_unprefixed(call, error):
    error_type, message = call_error(call)
    assert error_type is error
    assert not message.startswith("argument")


@pytest.mark.parametrize(
    "call",
    [
        lambda: _native.suffix_array_fn(b"banana"),
        lambda: _native.lcp_array(b"banana"),
        lambda: _native.locate(b"banana", b"a"),
        lambda: _native.inverse_suffix_array(b"banana"),
        lambda: _native.sa_from_bytes(bytes(16)),
        lambda: _native.suffix_array_fn(b""),
        lambda: _native.locate(b"banana", b"zz"),
        lambda: _native.FMIndex(b"abab").locate(b"ab"),
    ],
)
def test_array_results_are_fresh_writable_uint64(call):
    first, second = call(), call()
    assert first.dtype == np.uint64 and first.ndim == 1
    assert first.flags.c_contiguous and first.flags.writeable and first.flags.owndata
    if len(first):
        first[0] = 12345
        assert second[0] != 12345


def test_numpy_is_needed_only_for_array_results():
    import subprocess
    import sys
    import textwrap

    script = textwrap.dedent(
        """
        import sys
        sys.modules["numpy"] = None  # makes every import of numpy fail
        from quarnel import _native
        assert _native.count(b"banana", b"an") == 2
        assert _native.bwt(b"banana") == (b"nnbaaa", 3)
        try:
            _native.suffix_array_fn(b"banana")
        except ImportError as exc:
            print(exc)
        """
    )
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "NumPy" in proc.stdout
