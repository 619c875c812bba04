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
    ],
)
def test_binding_and_conversion_type_errors(call, expected):
    assert call_error(call) == (TypeError, expected)


def test_too_many_positional_uses_was_for_one():
    # A zero-parameter callable only exists as a method of FMIndex.
    index = _native.FMIndex(b"abc")
    assert call_error(index.heap_size, 1) == (TypeError, "FMIndex.heap_size() takes 0 positional arguments but 1 was given")


def test_keyword_calls_bind_by_name():
    assert _native.count(pattern=b"an", data=b"banana") == 2
    assert _native.suffix_array_fn(data=b"ba", backend="sais").tolist() == [1, 0]


@pytest.mark.parametrize("value,kind", [(-1, OverflowError), (2**64, OverflowError)])
def test_unsigned_index_overflow_is_unprefixed(value, kind):
    error_type, message = call_error(_native.inverse_bwt_fn, b"abc", value)
    assert error_type is kind
    assert not message.startswith("argument")


def test_unsigned_index_accepts_dunder_index():
    class Two:
        def __index__(self):
            return 2

    assert _native.inverse_bwt_fn(b"abc", Two()) == _native.inverse_bwt_fn(b"abc", 2)
    assert _native.inverse_bwt_fn(b"abc", np.uint64(1)) == _native.inverse_bwt_fn(b"abc", 1)


def test_type_error_cause_is_preserved():
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as exc:
                raise TypeError("no index here") from exc

    with pytest.raises(TypeError) as info:
        _native.inverse_bwt_fn(b"abc", BadIndex())
    assert str(info.value) == "argument 'primary_index': no index here"
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_from_index_pass_unchanged():
    class Exploding:
        def __index__(self):
            raise RuntimeError("boom")

    assert call_error(_native.inverse_bwt_fn, b"abc", Exploding()) == (RuntimeError, "boom")


def test_lone_surrogate_raises_unicode_encode_error_unprefixed():
    error_type, message = call_error(_native.suffix_array_fn, b"abc", "\ud800")
    assert error_type is UnicodeEncodeError
    assert not message.startswith("argument")


def test_bytes_subclasses_are_accepted():
    class MyBytes(bytes):
        pass

    assert _native.suffix_array_fn(MyBytes(b"banana")).tolist() == [5, 3, 1, 0, 4, 2]


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
