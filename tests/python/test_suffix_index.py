"""quarnel.SuffixArray: built once over any buffer or token array, queried many times.

Every query is compared with a scan of the symbols; byte data also with the toolkit functions,
which rebuild the array on each call.
"""

import mmap
import multiprocessing
import threading

import numpy as np
import pytest

import quarnel
from quarnel import SuffixArray
from conftest import brute_suffix_array


def patterns_for(rng, symbols, alphabet, count=60):
    """Substrings (some at the very start or end), random strings, the whole text and more."""
    out = [symbols[:1], symbols[-1:], symbols[-3:], symbols[:3], list(symbols), list(symbols) + [alphabet[0]]]
    for k in range(count):
        m = rng.randint(1, 5)
        if k % 2 and len(symbols) >= m:
            at = rng.randint(0, len(symbols) - m)
            out.append(list(symbols[at:at + m]))
        else:
            out.append([rng.choice(alphabet) for _ in range(m)])
    return [list(p) for p in out]


def check_index(index, symbols, patterns, as_pattern):
    """The array is the sorted suffixes, and every query, alone or in a batch, finds the places a
    scan finds (the ranks themselves against a scan: tests/core/suffix_index_test.cpp)."""
    symbols = list(symbols)
    assert index.array.tolist() == brute_suffix_array(symbols)
    assert len(index) == len(symbols)
    queries = [as_pattern(p) for p in patterns]
    lo, hi = index.range_many(queries)
    counts = index.count_many(queries)
    positions, offsets = index.locate_many(queries)
    for k, (p, q) in enumerate(zip(patterns, queries)):
        want = [i for i in range(len(symbols)) if p and symbols[i:i + len(p)] == p]
        first, last = index.range(q)
        assert (lo[k], hi[k]) == (first, last), p
        assert sorted(index.array[first:last].tolist()) == want
        assert index.count(q) == counts[k] == len(want)
        assert index.locate(q).tolist() == positions[offsets[k]:offsets[k + 1]].tolist() == want


# ---------------------------------------------------------------------------------------------
# Inputs
# ---------------------------------------------------------------------------------------------

def byte_sources(data, tmp_path):
    """Every kind of buffer over the same bytes, with whether it is used in place."""
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    handle = open(path, "rb")
    mapped = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) if data else None
    sources = [
        ("bytes", data, True),
        ("bytearray", bytearray(data), False),
        ("memoryview of bytes", memoryview(data), True),
        ("read-only memoryview of bytearray", memoryview(bytearray(data)).toreadonly(), False),
        ("numpy uint8", np.frombuffer(data, dtype=np.uint8).copy(), False),
        ("numpy view of bytes", np.frombuffer(data, dtype=np.uint8), True),
    ]
    if mapped is not None:
        sources.append(("mmap", mapped, True))
    return sources, handle


@pytest.mark.parametrize("n", [0, 1, 2, 5, 40, 300])
def test_every_byte_buffer_against_brute_force(rng, tmp_path, n):
    data = bytes(rng.choice(b"ab\x00\xff") for _ in range(n))
    sources, handle = byte_sources(data, tmp_path)
    alphabet = list(b"ab\x00\xffc")
    patterns = patterns_for(rng, list(data), alphabet) if n else [[97], []]
    for name, source, in_place in sources:
        index = SuffixArray(source)
        assert index.copied is not in_place, name
        check_index(index, list(data), patterns, bytes)
    for p in patterns:  # the toolkit functions build the same answers from scratch
        assert SuffixArray(data).range(bytes(p)) == quarnel.search_range(data, bytes(p))
    del sources, index
    handle.close()


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.uint32, np.int32, np.int64, np.uint64])
@pytest.mark.parametrize("n", [1, 3, 200])
def test_every_token_width_against_brute_force(rng, dtype, n):
    top = 255 if dtype == np.uint8 else 65535 if dtype == np.uint16 else 4_000_000_000
    if dtype == np.int32:
        top = 2**31 - 1
    alphabet = [0, 1, top // 3, top]
    tokens = np.array([rng.choice(alphabet) for _ in range(n)], dtype=dtype)
    index = SuffixArray(tokens)
    assert index.symbol_bytes == (1 if dtype == np.uint8 else 2 if dtype == np.uint16 else 4)
    patterns = patterns_for(rng, tokens.tolist(), alphabet + [top - 1])
    as_pattern = bytes if dtype == np.uint8 else (lambda p: np.array(p, dtype=dtype))
    check_index(index, tokens.tolist(), patterns, as_pattern)
    if dtype != np.uint8:  # lists of ints and 2-D arrays are patterns too
        assert index.count(patterns[0]) == index.count(as_pattern(patterns[0]))
        rows = np.array([p[:1] * 2 for p in patterns if p], dtype=np.int64)
        assert index.count_many(rows).tolist() == [index.count(list(r)) for r in rows]


TOKENS = SuffixArray(np.array([1, 2, 3], dtype=np.uint32))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: SuffixArray("text"), TypeError, "argument 'data': 'str' object is not"),
        (lambda: SuffixArray(12), TypeError, "argument 'data': 'int' object is not"),
        (lambda: SuffixArray(np.zeros((2, 2), dtype=np.uint8)), ValueError, "argument 'data': expected a one-dimensional"),
        (lambda: SuffixArray(np.zeros(4, dtype=np.float64)), ValueError, "argument 'data': expected bytes or"),
        (lambda: SuffixArray(np.zeros(4, dtype=np.int8)), ValueError, "argument 'data': expected bytes or"),
        (lambda: SuffixArray(np.arange(8, dtype=np.uint16)[::2]), ValueError, "argument 'data': .*C-contiguous"),
        # token ids outside 32 bits, from below and above, signed and unsigned
        *[(lambda bad=bad: SuffixArray(bad), ValueError, "argument 'data': token ids must be between 0 and 4294967295")
          for bad in (np.array([1, -1], dtype=np.int64), np.array([2**32], dtype=np.int64),
                      np.array([-5], dtype=np.int32), np.array([2**32 + 1], dtype=np.uint64))],
        (lambda: TOKENS.count([-1]), ValueError, "argument 'pattern': token ids"),
        (lambda: TOKENS.count_many(5), TypeError, "argument 'patterns': "),
        (lambda: SuffixArray(b"abc").count("a"), TypeError, "argument 'pattern': 'str' object"),
    ],
)
def test_unusable_data_and_patterns_are_refused_naming_the_parameter(call, error, message):
    with pytest.raises(error, match="^" + message):
        call()


@pytest.mark.parametrize("kind", ["bytearray", "numpy uint8", "numpy int64", "read-only view"])
def test_mutating_the_source_cannot_change_a_built_index(kind):
    data = b"abracadabra" * 20
    source = {
        "bytearray": lambda: bytearray(data),
        "numpy uint8": lambda: np.frombuffer(data, dtype=np.uint8).copy(),
        "numpy int64": lambda: np.frombuffer(data, dtype=np.uint8).astype(np.int64),
        "read-only view": lambda: np.frombuffer(bytearray(data), dtype=np.uint8),
    }[kind]()
    index = SuffixArray(source)
    pattern = b"abra" if index.symbol_bytes == 1 else list(b"abra")
    before = (index.count(pattern), index.locate(pattern).tolist(), index.array.tolist())
    writable = source if not isinstance(source, np.ndarray) or source.flags.writeable else source.base
    writable[:] = bytes(len(data)) if not isinstance(writable, np.ndarray) else 0
    after = (index.count(pattern), index.locate(pattern).tolist(), index.array.tolist())
    assert after == before


def test_array_and_lcp_are_read_only_views_kept_alive_by_the_index(rng):
    data = bytes(rng.choice(b"abc") for _ in range(500))
    index = SuffixArray(data)
    view = index.array
    assert view.dtype == np.uint32 and not view.flags.writeable
    with pytest.raises(ValueError):
        view[0] = 1
    lcp = index.lcp()
    assert lcp.tolist() == quarnel.lcp_array(data).tolist()
    assert not lcp.flags.writeable
    assert np.shares_memory(index.lcp(), lcp)  # built once, then kept
    del index
    assert view.tolist() == quarnel.suffix_array_fn(data).tolist()


def test_lcp_built_by_racing_threads_is_one_array(rng):
    data = bytes(rng.choice(b"ab") for _ in range(200_000))
    index = SuffixArray(data)
    results = [None] * 4

    def build(k):
        results[k] = index.lcp()

    threads = [threading.Thread(target=build, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.shares_memory(results[0], r) for r in results)


def test_bwt_of_bytes_is_the_toolkit_s_and_of_tokens_an_array_of_their_width():
    for data in (b"banana", b"mississippi", b"a"):
        assert SuffixArray(data).bwt() == quarnel.bwt(data)
    last, primary = SuffixArray(np.array([3, 1, 2, 1, 2, 1], dtype=np.uint16)).bwt()
    assert last.dtype == np.uint16
    # "banana" with a=1 < n=2 < b=3: suffix array [5, 3, 1, 4, 2, 0]
    assert (last.tolist(), primary) == ([2, 2, 3, 1, 1, 1], 5)
    with pytest.raises(ValueError):
        SuffixArray(b"").bwt()


# ---------------------------------------------------------------------------------------------
# Saving and loading
# ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("make", [lambda d: d, lambda d: np.frombuffer(d, dtype=np.uint8).astype(np.uint16),
                                  lambda d: np.frombuffer(d, dtype=np.uint8).astype(np.int64)])
def test_save_and_load_round_trip_and_the_mapping_outlives_the_file(rng, tmp_path, make):
    data = make(bytes(rng.choice(b"abcd") for _ in range(3000)))
    index = SuffixArray(data)
    path = tmp_path / "index.qsa"
    index.save(path)
    loaded = SuffixArray.load(str(path), data)
    assert loaded.array.tolist() == index.array.tolist()
    probe = [b"ab", b"dcba", b"a"] if isinstance(data, bytes) else [[97, 98], [100, 99, 98, 97], [97]]
    assert loaded.count_many(probe).tolist() == index.count_many(probe).tolist()
    view = loaded.array
    path.unlink()  # the mapping outlives the name and the loaded index
    del loaded
    assert view.tolist() == index.array.tolist()


SAVED_TEXT = b"ab" * 100 + b"ba" * 100


# Every truncation, flip and sealed edit is refused by the engine (suffix_index_test.cpp); here
# each kind of refusal arrives as ValueError naming the file and the problem.
@pytest.mark.parametrize("edit,data,problem", [
    (lambda good: good[:63], None, "file truncated (63 bytes, shorter than the 64-byte header)"),
    (lambda good: good[:-1], None, "file truncated (1663 bytes, the header needs 1664)"),
    (lambda good: good + b"\0", None, "trailing data (1 bytes after the entries)"),
    (lambda good: b"X" + good[1:], None, "not a quarnel suffix array file (wrong magic bytes)"),
    (lambda good: good[:100] + bytes([good[100] ^ 1]) + good[101:], None,
     "corrupt suffix array entries (checksum mismatch)"),
    (None, lambda d: d[:-1] + b"b", "data differs from the text the file was built from (text checksum mismatch)"),
    (None, lambda d: d[:-1], "data has 399 symbols but the file was built from 400"),
    (None, lambda d: np.frombuffer(d, dtype=np.uint8).astype(np.uint16),
     "data has 2-byte symbols but the file was built from 1-byte symbols"),
])
def test_damaged_files_and_other_texts_are_refused_with_the_problem_named(tmp_path, edit, data, problem):
    path = tmp_path / "index.qsa"
    SuffixArray(SAVED_TEXT).save(path)
    if edit is not None:
        path.write_bytes(edit(path.read_bytes()))
    with pytest.raises(ValueError) as caught:
        SuffixArray.load(path, SAVED_TEXT if data is None else data(SAVED_TEXT))
    assert str(caught.value) == f"cannot load suffix array from {path}: {problem}"


def test_what_is_not_a_readable_file_raises_the_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        SuffixArray.load(tmp_path / "missing", SAVED_TEXT)
    with pytest.raises(OSError):
        SuffixArray.load(tmp_path, SAVED_TEXT)


def count_in_child(args):
    path, data, pattern = args
    return SuffixArray.load(path, data).count(pattern)


def test_saved_index_is_usable_in_a_spawned_process(rng, tmp_path):
    data = bytes(rng.choice(b"ab") for _ in range(2000))
    path = tmp_path / "index.qsa"
    index = SuffixArray(data)
    index.save(path)
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        assert pool.map(count_in_child, [(str(path), data, b"abba")]) == [index.count(b"abba")]


def test_large_batches_answer_as_single_queries(rng):
    # 5000 patterns: enough for a batch to build the sampled keys, which the index then keeps,
    # and to be split over two threads (the answers against a scan: suffix_index_test.cpp).
    data = bytes(rng.choice(b"abc\xff\x00") for _ in range(3000))
    index = SuffixArray(data)
    patterns = [data[at:at + rng.randint(1, 20)] for at in (rng.randrange(3000) for _ in range(5000))]
    patterns += [bytes(rng.choice(b"abc") for _ in range(5)) for _ in range(100)]
    singles = [index.range(p) for p in patterns]
    lo, hi = index.range_many(patterns)
    assert list(zip(lo.tolist(), hi.tolist())) == singles == [index.range(p) for p in patterns]
    assert index.count_many(patterns).tolist() == [index.count(p) for p in patterns]
    positions, offsets = index.locate_many(patterns)
    assert [positions[offsets[k]:offsets[k + 1]].tolist() for k in range(len(patterns))] == [
        index.locate(p).tolist() for p in patterns]
