"""Suffix-array construction, search, derived arrays and transforms through the module.

The construction engines are checked against brute force and libdivsufsort on random and
adversarial texts in tests/core/sais_test.cpp; here the entry points' results and arrays.
"""

import struct

import numpy as np
import pytest

from quarnel import _native
from conftest import brute_suffix_array, random_bytes

BACKENDS = [None, "auto", "sais", "divsufsort", "libsais"]


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize(
    "data,expected",
    [
        (b"banana", [5, 3, 1, 0, 4, 2]),
        (b"mississippi", [10, 7, 4, 1, 0, 9, 8, 6, 3, 5, 2]),
        (b"", []),
        (b"a", [0]),
        (b"ab", [0, 1]),
        (b"ba", [1, 0]),
        (b"aa", [1, 0]),
        (b"\x00\x00", [1, 0]),
        (b"\xff\x00", [1, 0]),
    ],
)
def test_documented_suffix_arrays(backend, data, expected):
    result = _native.suffix_array_fn(data, backend)
    assert result.dtype == np.uint64
    assert result.tolist() == expected


@pytest.mark.parametrize("name", ["SAIS", "Auto", " sais", "", "sais ", "sa\x00is", "dívsufsort"])
def test_unknown_backends_are_rejected_with_the_name_unchanged(name):
    with pytest.raises(ValueError) as info:
        _native.suffix_array_fn(b"banana", name)
    assert str(info.value) == f"Unknown backend: {name}. Use 'auto', 'sais', 'divsufsort', or 'libsais'."


def english_text(size):
    words = ("the quick brown fox jumps over a lazy dog while seven wizards quietly hex "
             "bold jackdaws and Dr. Smith reads 3.5 chapters of the history of Rome").split()
    rng = np.random.default_rng(7)
    picks = rng.integers(0, len(words), size // 3)
    return " ".join(words[i] for i in picks).encode()[:size]


# From 16 MB on a sort takes the second thread by default (planned induction passes, the output
# faulted in beside the sort); libdivsufsort is the oracle.
@pytest.mark.parametrize("make", [english_text, lambda size: (b"abracadabra, " * size)[:size]],
                         ids=["english", "repetitive"])
def test_sais_on_two_threads_matches_divsufsort(make):
    data = make((1 << 24) + 4099)
    expected = _native.suffix_array_fn(data, "divsufsort")
    assert np.array_equal(_native.suffix_array_fn(data), expected)


def brute_interval(data, pattern):
    if not pattern or len(pattern) > len(data):
        return (0, 0)
    suffixes = [data[i:] for i in brute_suffix_array(data)]
    keys = [s[: len(pattern)] for s in suffixes]
    lo = sum(1 for k in keys if k < pattern)
    hi = lo + sum(1 for k in keys if k == pattern)
    return (lo, hi)


@pytest.mark.parametrize(
    "pattern,interval,positions",
    [
        (b"a", (0, 3), [1, 3, 5]),
        (b"an", (1, 3), [1, 3]),
        (b"na", (4, 6), [2, 4]),
        (b"banana", (3, 4), [0]),
        (b"c", (4, 4), []),
        (b"nab", (5, 5), []),
        (b"0", (0, 0), []),
        (b"", (0, 0), []),
        (b"bananas", (0, 0), []),
    ],
)
def test_documented_searches_in_banana(pattern, interval, positions):
    assert _native.search_range(b"banana", pattern) == interval
    assert _native.count(b"banana", pattern) == len(positions)
    assert _native.locate(b"banana", pattern).tolist() == positions


def test_search_differential(rng):
    for _ in range(1500):
        data = random_bytes(rng, rng.randrange(0, 30), b"ab\x00")
        pattern = random_bytes(rng, rng.randrange(0, 4), b"ab\x00")
        lo, hi = brute_interval(data, pattern)
        assert _native.search_range(data, pattern) == (lo, hi)
        assert _native.count(data, pattern) == hi - lo
        expected = sorted(i for i in range(len(data)) if pattern and data.startswith(pattern, i))
        assert _native.locate(data, pattern).tolist() == expected


def test_overlapping_and_zero_byte_matches():
    assert _native.count(b"aaaa", b"aa") == 3
    assert _native.locate(b"aaaa", b"aa").tolist() == [0, 1, 2]
    assert _native.count(b"a\x00a\x00", b"\x00") == 2
    assert _native.locate(b"a\x00a\x00", b"\x00").tolist() == [1, 3]
    assert _native.search_range(b"", b"a") == (0, 0)


def brute_lcp(data):
    sa = brute_suffix_array(data)
    out = [0] * len(data)
    for r in range(1, len(sa)):
        a, b = data[sa[r - 1]:], data[sa[r]:]
        h = 0
        while h < min(len(a), len(b)) and a[h] == b[h]:
            h += 1
        out[r] = h
    return out


def brute_bwt(data):
    sa = brute_suffix_array(data)
    last = bytes(data[p - 1] if p else data[-1] for p in sa)
    return last, sa.index(0)


@pytest.mark.parametrize(
    "data,isa,lcp,bwt",
    [
        (b"banana", [3, 2, 5, 1, 4, 0], [0, 1, 3, 0, 0, 2], (b"nnbaaa", 3)),
        (b"mississippi", None, [0, 1, 1, 4, 0, 0, 1, 0, 2, 1, 3], (b"pssmipissii", 4)),
        (b"aaaa", None, [0, 1, 2, 3], (b"aaaa", 3)),
        (b"a", [0], [0], (b"a", 0)),
    ],
)
def test_documented_derived_arrays(data, isa, lcp, bwt):
    if isa is not None:
        assert _native.inverse_suffix_array(data).tolist() == isa
    assert _native.lcp_array(data).tolist() == lcp
    assert _native.bwt(data) == bwt
    assert _native.inverse_bwt_fn(*bwt) == data


def test_derived_arrays_differential(rng):
    for _ in range(1500):
        data = random_bytes(rng, rng.randrange(1, 40), rng.choice([b"ab", b"abc\x00\xff"]))
        sa = brute_suffix_array(data)
        isa = [0] * len(data)
        for r, p in enumerate(sa):
            isa[p] = r
        assert _native.inverse_suffix_array(data).tolist() == isa
        assert _native.lcp_array(data).tolist() == brute_lcp(data)
        transformed = _native.bwt(data)
        assert transformed == brute_bwt(data)
        assert _native.inverse_bwt_fn(*transformed) == data
        serialised = _native.sa_to_bytes(data)
        assert serialised == b"".join(struct.pack("<Q", p) for p in sa)
        assert _native.sa_from_bytes(serialised).tolist() == sa


@pytest.mark.parametrize("size", [1, 2047, 2048, 2049, 6145])
def test_arrays_written_in_place_match_brute_force(rng, size):
    # The arrays are written straight into NumPy's memory, the suffix array widened from 32-bit
    # entries in blocks: lengths straddle a block.
    data = random_bytes(rng, size, b"abc\x00\xff")
    sa = brute_suffix_array(data)
    for backend in BACKENDS:
        result = _native.suffix_array_fn(data, backend)
        assert result.dtype == np.uint64 and result.flags.c_contiguous and result.flags.writeable
        assert result.flags.owndata
        assert result.tolist() == sa
    isa = np.empty(size, dtype=np.uint64)
    isa[sa] = np.arange(size, dtype=np.uint64)
    assert np.array_equal(_native.inverse_suffix_array(data), isa)
    lcp = _native.lcp_array(data)
    assert lcp.dtype == np.uint64 and lcp.flags.owndata
    assert lcp.tolist() == brute_lcp(data)


def test_empty_inputs():
    assert _native.lcp_array(b"").tolist() == []
    assert _native.inverse_suffix_array(b"").tolist() == []
    assert _native.sa_to_bytes(b"") == b""
    assert _native.sa_from_bytes(b"").tolist() == []
    assert _native.inverse_bwt_fn(b"", 0) == b""
    assert _native.inverse_bwt_fn(b"", 10) == b""


def test_bwt_of_empty_data_is_a_value_error():
    with pytest.raises(ValueError, match="empty"):
        _native.bwt(b"")


@pytest.mark.parametrize("primary", [2, 3, 2**64 - 1])
def test_inverse_bwt_rejects_primary_out_of_range(primary):
    with pytest.raises(ValueError, match="out of range"):
        _native.inverse_bwt_fn(b"ab", primary)


def test_inverse_bwt_of_non_bwt_input_keeps_length(rng):
    assert _native.inverse_bwt_fn(b"ab", 0) == b"aa"
    assert _native.inverse_bwt_fn(b"ab", 1) == b"bb"
    for _ in range(500):
        data = random_bytes(rng, rng.randrange(1, 20), b"abc\x00")
        primary = rng.randrange(len(data))
        assert len(_native.inverse_bwt_fn(data, primary)) == len(data)


def test_serialisation_examples():
    assert _native.sa_to_bytes(b"banana") == b"".join(bytes([v]) + bytes(7) for v in (5, 3, 1, 0, 4, 2))
    assert _native.sa_from_bytes(struct.pack("<Q", 1) + b"\x07").tolist() == [1]
    assert _native.sa_from_bytes(bytes(7)).tolist() == []
    assert _native.sa_from_bytes(b"\xff" * 8).tolist() == [2**64 - 1]


def test_round_trips_on_megabytes():
    data = english_text(2_000_000)
    assert np.array_equal(_native.sa_from_bytes(_native.sa_to_bytes(data)), _native.suffix_array_fn(data))
    assert _native.inverse_bwt_fn(*_native.bwt(data)) == data
    lcp = _native.lcp_array(data)
    sa = _native.suffix_array_fn(data)
    for r in range(1, len(data), len(data) // 40):
        a, b = int(sa[r - 1]), int(sa[r])
        h = int(lcp[r])
        assert data[a:a + h] == data[b:b + h]
        assert a + h == len(data) or b + h == len(data) or data[a + h] != data[b + h]
