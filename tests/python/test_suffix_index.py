"""quarnel.SuffixArray: built once over any buffer or token array, queried many times.

Every query is compared with a scan of the symbols (the ranks themselves against a scan:
tests/core/suffix_index_test.cpp); byte data also with the toolkit functions, which rebuild the
array on each call.
"""

import mmap
import multiprocessing
import threading

import numpy as np
import pytest

import quarnel
from conftest import brute_suffix_array, random_bytes
from quarnel import SuffixArray


def patterns_for(rng, symbols, alphabet, count=60):
    """Substrings (some at the very start or end), random strings, the whole text and more."""
    out = [symbols[:1], symbols[-1:], symbols[-3:], symbols[:3], symbols, symbols + alphabet[:1]]
    for k in range(count):
        m = rng.randint(1, 5)
        if k % 2 and len(symbols) >= m:
            at = rng.randint(0, len(symbols) - m)
            out.append(symbols[at : at + m])
        else:
            out.append([rng.choice(alphabet) for _ in range(m)])
    return out


def check_index(index, symbols, patterns, as_pattern):
    """The array is the sorted suffixes, and every query, alone or in a batch, finds the places a
    scan finds."""
    assert index.array.tolist() == brute_suffix_array(symbols) and len(index) == len(symbols)
    queries = [as_pattern(p) for p in patterns]
    (lo, hi), counts = index.range_many(queries), index.count_many(queries)
    positions, offsets = index.locate_many(queries)
    for k, (p, q) in enumerate(zip(patterns, queries)):
        want = [i for i in range(len(symbols)) if p and symbols[i : i + len(p)] == p]
        first, last = index.range(q)
        assert (lo[k], hi[k]) == (first, last), p
        assert sorted(index.array[first:last].tolist()) == want
        assert index.count(q) == counts[k] == len(want)
        assert index.locate(q).tolist() == positions[offsets[k] : offsets[k + 1]].tolist() == want


@pytest.mark.parametrize("n", [0, 1, 2, 5, 40, 300])
def test_every_byte_buffer_against_brute_force(rng, tmp_path, n):
    data = random_bytes(rng, n)
    (tmp_path / "data.bin").write_bytes(data)
    with open(tmp_path / "data.bin", "rb") as handle:
        # every kind of buffer over the same bytes, with whether it is used in place
        sources = [(data, True), (bytearray(data), False), (memoryview(data), True)]
        sources += [(memoryview(bytearray(data)).toreadonly(), False)]
        sources += [(np.frombuffer(data, dtype=np.uint8).copy(), False)]
        sources += [(np.frombuffer(data, dtype=np.uint8), True)]
        if data:
            sources += [(mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ), True)]
        patterns = patterns_for(rng, list(data), list(b"ab\x00\xffc")) if n else [[97], []]
        for source, in_place in sources:
            index = SuffixArray(source)
            assert index.copied is not in_place, type(source)
            check_index(index, list(data), patterns, bytes)
        del sources, index
    for p in patterns:  # the toolkit functions build the same answers from scratch
        assert SuffixArray(data).range(bytes(p)) == quarnel.search_range(data, bytes(p))


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.uint32, np.int32, np.int64, np.uint64])
@pytest.mark.parametrize("n", [1, 3, 200])
def test_every_token_width_against_brute_force(rng, dtype, n):
    top = {np.uint8: 255, np.uint16: 65535, np.int32: 2**31 - 1}.get(dtype, 4_000_000_000)
    alphabet = [0, 1, top // 3, top]
    tokens = np.array([rng.choice(alphabet) for _ in range(n)], dtype=dtype)
    index = SuffixArray(tokens)
    assert index.symbol_bytes == {np.uint8: 1, np.uint16: 2}.get(dtype, 4)
    patterns = patterns_for(rng, tokens.tolist(), alphabet + [top - 1])
    as_pattern = bytes if dtype == np.uint8 else (lambda p: np.array(p, dtype=dtype))
    check_index(index, tokens.tolist(), patterns, as_pattern)
    if dtype != np.uint8:  # lists of ints and 2-D arrays are patterns too
        assert index.count(patterns[0]) == index.count(as_pattern(patterns[0]))
        rows = np.array([p[:1] * 2 for p in patterns if p], dtype=np.int64)
        assert index.count_many(rows).tolist() == [index.count(list(r)) for r in rows]


TOKENS = SuffixArray(np.array([1, 2, 3], dtype=np.uint32))
IDS = "argument 'data': token ids must be between 0 and 4294967295"


@pytest.mark.parametrize("call, error, message", [
    (lambda: SuffixArray("text"), TypeError, "argument 'data': 'str' object is not"),
    (lambda: SuffixArray(12), TypeError, "argument 'data': 'int' object is not"),
    (lambda: SuffixArray(np.zeros((2, 2), dtype=np.uint8)), ValueError, "argument 'data': expected a one-dimensional"),
    (lambda: SuffixArray(np.zeros(4, dtype=np.float64)), ValueError, "argument 'data': expected bytes or"),
    (lambda: SuffixArray(np.zeros(4, dtype=np.int8)), ValueError, "argument 'data': expected bytes or"),
    (lambda: SuffixArray(np.arange(8, dtype=np.uint16)[::2]), ValueError, "argument 'data': .*C-contiguous"),
    # token ids outside 32 bits, from below and above, signed and unsigned
    (lambda: SuffixArray(np.array([1, -1], dtype=np.int64)), ValueError, IDS),
    (lambda: SuffixArray(np.array([2**32], dtype=np.int64)), ValueError, IDS),
    (lambda: SuffixArray(np.array([-5], dtype=np.int32)), ValueError, IDS),
    (lambda: SuffixArray(np.array([2**32 + 1], dtype=np.uint64)), ValueError, IDS),
    (lambda: TOKENS.count([-1]), ValueError, "argument 'pattern': token ids"),
    (lambda: TOKENS.count_many(5), TypeError, "argument 'patterns': "),
    (lambda: SuffixArray(b"abc").count("a"), TypeError, "argument 'pattern': 'str' object"),
])  # fmt: skip
def test_unusable_data_and_patterns_are_refused_naming_the_parameter(call, error, message):
    with pytest.raises(error, match="^" + message):
        call()


@pytest.mark.parametrize("kind", ["bytearray", "numpy uint8", "numpy int64", "read-only view"])
def test_mutating_the_source_cannot_change_a_built_index(kind):
    data = b"abracadabra" * 20
    array = np.frombuffer(data, dtype=np.uint8)
    source = {"bytearray": lambda: bytearray(data), "numpy uint8": array.copy,
              "numpy int64": lambda: array.astype(np.int64),
              "read-only view": lambda: np.frombuffer(bytearray(data), dtype=np.uint8)}[kind]()  # fmt: skip
    index = SuffixArray(source)
    pattern = b"abra" if index.symbol_bytes == 1 else list(b"abra")
    answers = lambda: (index.count(pattern), index.locate(pattern).tolist(), index.array.tolist())  # noqa: E731
    before = answers()
    writable = (
        source.base if isinstance(source, np.ndarray) and not source.flags.writeable else source
    )
    writable[:] = bytes(len(data)) if not isinstance(writable, np.ndarray) else 0
    assert answers() == before


def test_array_and_lcp_are_read_only_views_kept_alive_by_the_index(rng):
    data = random_bytes(rng, 500, b"abc")
    index = SuffixArray(data)
    view, lcp = index.array, index.lcp()
    assert view.dtype == np.uint32 and not view.flags.writeable and not lcp.flags.writeable
    with pytest.raises(ValueError):
        view[0] = 1
    assert lcp.tolist() == quarnel.lcp_array(data).tolist()
    assert np.shares_memory(index.lcp(), lcp)  # built once, then kept
    del index
    assert view.tolist() == quarnel.suffix_array_fn(data).tolist()


def test_lcp_built_by_racing_threads_is_one_array(rng):
    index = SuffixArray(random_bytes(rng, 200_000, b"ab"))
    results = [None] * 4
    build = lambda k: results.__setitem__(k, index.lcp())  # noqa: E731
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
    # "banana" with a=1 < n=2 < b=3: suffix array [5, 3, 1, 4, 2, 0]
    assert (last.dtype, last.tolist(), primary) == (np.uint16, [2, 2, 3, 1, 1, 1], 5)
    with pytest.raises(ValueError):
        SuffixArray(b"").bwt()


# --- saving and loading ----------------------------------------------------------------------
@pytest.mark.parametrize("dtype", [None, np.uint16, np.int64])
def test_save_and_load_round_trip_and_the_mapping_outlives_the_file(rng, tmp_path, dtype):
    data = random_bytes(rng, 3000, b"abcd")
    data = data if dtype is None else np.frombuffer(data, dtype=np.uint8).astype(dtype)
    index, path = SuffixArray(data), tmp_path / "index.qsa"
    index.save(path)
    loaded = SuffixArray.load(str(path), data)
    assert loaded.array.tolist() == index.array.tolist()
    probe = [b"ab", b"dcba", b"a"] if dtype is None else [[97, 98], [100, 99, 98, 97], [97]]
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
    (lambda good: good[:100] + bytes([good[100] ^ 1]) + good[101:], None, "corrupt suffix array entries (checksum mismatch)"),
    (None, lambda d: d[:-1] + b"b", "data differs from the text the file was built from (text checksum mismatch)"),
    (None, lambda d: d[:-1], "data has 399 symbols but the file was built from 400"),
    (None, lambda d: np.frombuffer(d, dtype=np.uint8).astype(np.uint16), "data has 2-byte symbols but the file was built from 1-byte symbols"),
])  # fmt: skip
def test_damaged_files_and_other_texts_are_refused_naming_the_problem(
    tmp_path, edit, data, problem
):
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
    data, path = random_bytes(rng, 2000, b"ab"), str(tmp_path / "index.qsa")
    index = SuffixArray(data)
    index.save(path)
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        assert pool.map(count_in_child, [(path, data, b"abba")]) == [index.count(b"abba")]


def test_large_batches_answer_as_single_queries(rng):
    # 5000 patterns: enough for a batch to build the sampled keys, which the index then keeps,
    # and to be split over two threads (the answers against a scan: suffix_index_test.cpp).
    data = random_bytes(rng, 3000, b"abc\xff\x00")
    index = SuffixArray(data)
    starts = (rng.randrange(3000) for _ in range(5000))  # each drawn before its length
    patterns = [data[at : at + rng.randint(1, 20)] for at in starts]
    patterns += [random_bytes(rng, 5, b"abc") for _ in range(100)]
    singles = [index.range(p) for p in patterns]
    lo, hi = index.range_many(patterns)
    assert list(zip(lo.tolist(), hi.tolist())) == singles == [index.range(p) for p in patterns]
    assert index.count_many(patterns).tolist() == [index.count(p) for p in patterns]
    positions, offsets = index.locate_many(patterns)
    located = [positions[offsets[k] : offsets[k + 1]].tolist() for k in range(len(patterns))]
    assert located == [index.locate(p).tolist() for p in patterns]
