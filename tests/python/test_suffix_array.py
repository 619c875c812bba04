"""Suffix-array construction, search, derived arrays and transforms through the module.

The engines are checked against brute force and libdivsufsort in tests/core/sais_test.cpp and
tests/core/toolkit_test.cpp; here what the entry points add: arrays written into NumPy's memory,
results and errors as Python sees them, and the default thread choice on a large text.
Lone surrogates in str arguments: test_frame.py.
"""

import os

import numpy as np
import pytest

from conftest import brute_suffix_array, random_bytes
from quarnel import _native as q

BACKENDS = [None, "auto", "sais", "divsufsort", "libsais"]
UNKNOWN = "Unknown backend: {}. Use 'auto', 'sais', 'divsufsort', or 'libsais'."


@pytest.mark.parametrize(
    "call,message",
    # the backend's name comes back unchanged
    [(lambda b=b: q.suffix_array_fn(b"banana", b), UNKNOWN.format(b))
     for b in ["SAIS", " sais", "", "sa\x00is", "d\u00edvsufsort"]]
    + [(lambda: q.bwt(b""), "bwt requires non-empty data: an empty text has no primary index")]
    + [(lambda p=p: q.inverse_bwt_fn(b"ab", p), f"primary_index {p} is out of range for BWT data of length 2")
       for p in (2, 3, 2**64 - 1)],
)  # fmt: skip
def test_value_errors_carry_the_engine_s_message(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


def english_text(size):
    words = "the quick brown fox jumps over a lazy dog while seven wizards quietly hex bold "
    words = (words + "jackdaws and Dr. Smith reads 3.5 chapters of the history of Rome").split()
    picks = np.random.default_rng(7).integers(0, len(words), size // 3)
    return " ".join(words[i] for i in picks).encode()[:size]


# From 16 MB on a sort takes the second thread by default (planned induction passes, the output
# faulted in beside the sort); libdivsufsort is the oracle.
@pytest.mark.parametrize("make", [english_text, lambda size: (b"abracadabra, " * size)[:size]],
                         ids=["english", "repetitive"])  # fmt: skip
def test_sais_on_two_threads_matches_divsufsort(make):
    data = make((1 << 24) + 4099)
    assert np.array_equal(q.suffix_array_fn(data), q.suffix_array_fn(data, "divsufsort"))


@pytest.mark.parametrize("size", [0, 1, 2047, 2048, 2049, 6145])
def test_arrays_written_in_place_match_brute_force(rng, size):
    # The arrays are written straight into NumPy's memory, the suffix array widened from 32-bit
    # entries in blocks: lengths straddle a block.
    data = random_bytes(rng, size, b"abc\x00\xff")
    sa = brute_suffix_array(data)
    for backend in BACKENDS:
        result = q.suffix_array_fn(data, backend)
        assert result.dtype == np.uint64 and result.flags.c_contiguous and result.flags.writeable
        assert result.flags.owndata and result.tolist() == sa
    isa = np.empty(size, dtype=np.uint64)
    isa[sa] = np.arange(size, dtype=np.uint64)
    assert np.array_equal(q.inverse_suffix_array(data), isa)
    lcp = q.lcp_array(data)
    assert lcp.dtype == np.uint64 and lcp.flags.owndata
    common = [len(os.path.commonprefix([data[a:], data[b:]])) for a, b in zip(sa, sa[1:])]
    assert lcp.tolist() == [0] * min(size, 1) + common
    assert np.array_equal(q.sa_from_bytes(q.sa_to_bytes(data)), result)


def test_search_results_transforms_and_statistics_as_python_values():
    # str in, counts and str out: an astral character is two UTF-16 units, an unpaired half of
    # one decodes as the replacement character (the statistics themselves: toolkit_test.cpp)
    assert q.distinct_substring_count("\U0001f600") == 3 and q.distinct_substring_count("") == 0
    assert q.longest_common_substring("\U0001f600", "\U0001f601") == "\ufffd"
    assert q.longest_common_substring("banana", "ananas") == "anana"
    assert q.search_range(b"banana", b"an") == (1, 3)
    assert q.count(b"banana", b"a") == 3 and q.count(b"", b"a") == 0
    assert q.locate(b"banana", b"a").tolist() == [1, 3, 5]
    assert q.bwt(b"banana") == (b"nnbaaa", 3) and q.inverse_bwt_fn(b"nnbaaa", 3) == b"banana"
    assert q.inverse_bwt_fn(b"", 10) == b""
    assert q.sa_to_bytes(b"ba") == b"\x01" + bytes(7) + bytes(8)
