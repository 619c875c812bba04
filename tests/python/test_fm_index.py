"""The FMIndex class: construction, count, locate, heap_size, len(), argument handling.

Queries are compared with a brute-force oracle: the index behaves as if the text, followed by one
0x00 sentinel, were written round a circle, and results come in the order of the suffixes of
text + 0x00 that start at the matches.
"""

import inspect
import random
import re
from bisect import bisect_right

import numpy as np
import pytest

from quarnel import _native
from conftest import collapse_ascii_whitespace

FMIndex = _native.FMIndex

NULL_MESSAGE = "Input data must not contain null bytes (0x00); they are reserved as sentinels"
UTF8_MESSAGE = "FM-index construction failed: Normalization requires valid UTF-8 input"


# ---------------------------------------------------------------------------------------------
# Oracle
# ---------------------------------------------------------------------------------------------

def cyclic_matches(text, pattern):
    """Positions of text + 0x00 read round a circle (as often as the pattern needs) at which the
    pattern begins, in suffix order of text + 0x00."""
    terminated = text + b"\x00"
    n = len(terminated)
    wheel = terminated * (len(pattern) // n + 2)
    hits = [i for i in range(n) if wheel.startswith(pattern, i)]
    return sorted(hits, key=lambda i: terminated[i:])


def lower_ascii(data):
    return bytes(b | 0x20 if 0x41 <= b <= 0x5A else b for b in data)


def source_mapper(removed):
    table, total = [], 0
    for s, e in sorted(removed, key=lambda r: r[0]):
        table.append((s - total, total + e - s))
        total += e - s
    positions = [p for p, _ in table]

    def to_source(x):
        idx = bisect_right(positions, x)
        return x if idx == 0 else x + table[idx - 1][1]

    return to_source


class Oracle:
    def __init__(self, data, case_insensitive=False, normalize_whitespace=False):
        self.case_insensitive = case_insensitive
        prepared, removed = data, []
        if case_insensitive:
            prepared = lower_ascii(prepared)
        if normalize_whitespace:
            prepared, removed = collapse_ascii_whitespace(prepared)
        self.text = prepared
        self.to_source = source_mapper(removed)

    def count(self, pattern):
        return len(self.locate(pattern))

    def locate(self, pattern):
        if not pattern:
            return list(range(len(self.text)))
        if self.case_insensitive:
            pattern = lower_ascii(pattern)
        return [self.to_source(p) for p in cyclic_matches(self.text, pattern)]


def assert_agrees(index, oracle, pattern):
    located = index.locate(pattern)
    assert isinstance(located, np.ndarray) and located.dtype == np.uint64 and located.ndim == 1
    assert located.tolist() == oracle.locate(pattern), pattern
    expected_count = len(oracle.text) if not pattern else len(oracle.locate(pattern))
    assert index.count(pattern) == expected_count, pattern


def random_patterns(rng, text, alphabet):
    terminated = text + b"\x00"
    wheel = terminated * 3
    patterns = [b"", b"\x00", b"\x00\x00"]
    for _ in range(30):
        choice = rng.random()
        if choice < 0.45 and terminated:
            i = rng.randrange(len(terminated))
            patterns.append(wheel[i:i + rng.randint(1, 6)])
        elif choice < 0.65 and terminated:
            # long enough to wrap round the whole circle, possibly twice through the sentinel
            i = rng.randrange(len(terminated))
            patterns.append(wheel[i:i + rng.randint(len(terminated), 2 * len(terminated) + 1)])
        elif choice < 0.75:
            patterns.append(text)
        else:
            patterns.append(bytes(rng.choice(alphabet + b"\x00") for _ in range(rng.randint(1, 4))))
    return patterns


LEVELS = [0, 1, 2, 3, 4, 5, 6, 64, 66]


# ---------------------------------------------------------------------------------------------
# Randomised differential tests
# ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("level", LEVELS)
def test_raw_bytes_agree_with_cyclic_suffix_oracle(rng, level):
    alphabet = b"ab\xffc"
    for _ in range(12):
        data = bytes(rng.choice(alphabet) for _ in range(rng.randint(0, 70)))
        index = FMIndex(data, level)
        oracle = Oracle(data)
        assert len(index) == len(data)
        for pattern in random_patterns(rng, data, alphabet):
            assert_agrees(index, oracle, pattern)


TEXT_PIECES = ["a", "b", "A", "B", "ab", "Ab", " ", " ", "  ", "\t", "\n", "\r\n", "\x0b", "\u00e9",
               "\u00c9", "\u00a0", "\U0001d49c", "\x0c"]


@pytest.mark.parametrize("level", [0, 2, 5, 64])
@pytest.mark.parametrize("case_insensitive", [False, True])
@pytest.mark.parametrize("normalize_whitespace", [False, True])
def test_normalised_text_agrees_with_oracle(rng, level, case_insensitive, normalize_whitespace):
    for _ in range(8):
        data = "".join(rng.choice(TEXT_PIECES) for _ in range(rng.randint(0, 40))).encode()
        index = FMIndex(data, level, case_insensitive, normalize_whitespace)
        oracle = Oracle(data, case_insensitive, normalize_whitespace)
        assert len(index) == len(oracle.text)
        patterns = random_patterns(rng, oracle.text, b"aAbB \t")
        # patterns in the caller's spelling: upper case, uncollapsed white space
        patterns += [data[i:i + 3] for i in range(0, len(data), 5)]
        for pattern in patterns:
            assert_agrees(index, oracle, pattern)


def test_results_do_not_depend_on_level(rng):
    data = bytes(rng.choice(b"abcab") for _ in range(300))
    patterns = [b"a", b"ab", b"abc", b"cab\x00", b"\x00ab", data[100:110], b"zz"]
    reference = FMIndex(data, 0)
    for level in [1, 3, 7, 8, 9, 10, 40, 63, 64, 65, 70, 127, 2**63, 2**64 - 1]:
        index = FMIndex(data, locate_level=level)
        for pattern in patterns:
            assert index.count(pattern) == reference.count(pattern)
            assert index.locate(pattern).tolist() == reference.locate(pattern).tolist()


# ---------------------------------------------------------------------------------------------
# Documented examples
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
    "pattern,count,positions",
    [(b"ab", 2, [2, 0]), (b"b", 2, [3, 1]), (b"ba", 1, [1]), (b"abc", 0, []), (b"abab", 1, [0]),
     (b"ababa", 0, []), (b"a", 2, [2, 0]), (b"", 4, [0, 1, 2, 3]), (b"\x00", 1, [4])],
)
@pytest.mark.parametrize("level", [0, 2, 64, 66])
def test_abab_examples(level, pattern, count, positions):
    index = FMIndex(b"abab", level)
    assert len(index) == 4
    assert index.count(pattern) == count
    assert index.locate(pattern).tolist() == positions


@pytest.mark.parametrize(
    "pattern,positions",
    [(b"\x00", [3]), (b"c\x00", [2]), (b"\x00a", [3]), (b"c\x00ab", [2]), (b"b\x00", []),
     (b"\x00\x00", []), (b"abc\x00", [0]), (b"\x00abc", [3]),
     # two sentinels can only be matched by going once round the whole circle
     (b"\x00abc\x00", [3]), (b"c\x00abc\x00a", [2]), (b"\x00abc\x00abc\x00", [3]), (b"\x00ab\x00", [])],
)
def test_abc_sentinel_patterns(pattern, positions):
    index = FMIndex(b"abc")
    assert index.locate(pattern).tolist() == positions
    assert index.count(pattern) == len(positions)


def test_case_insensitive_examples():
    index = FMIndex(b"Hello hello", case_insensitive=True)
    assert index.count(b"HELLO") == 2
    assert index.locate(b"hello").tolist() == [6, 0]
    plain = FMIndex(b"Hello hello")
    assert plain.count(b"HELLO") == 0 and plain.count(b"Hello") == 1
    folded = FMIndex("\u00c4".encode(), case_insensitive=True)
    assert folded.count("\u00e4".encode()) == 0 and folded.count("\u00c4".encode()) == 1


def test_whitespace_normalisation_examples():
    index = FMIndex(b"a  b", normalize_whitespace=True)
    assert len(index) == 3
    assert index.locate(b"b").tolist() == [3]
    assert index.locate(b"a b").tolist() == [0]
    assert index.count(b"a  b") == 0
    assert index.locate(b"").tolist() == [0, 1, 2]
    tab = FMIndex(b"a\tb", normalize_whitespace=True)
    assert tab.count(b"a b") == 1 and tab.locate(b"a b").tolist() == [0]
    assert tab.count(b"a\tb") == 0


def test_whitespace_normalisation_maps_positions_to_source():
    data = b"  Hello,\t\n world  "
    index = FMIndex(data, normalize_whitespace=True)
    assert len(index) == 12
    assert index.locate(b"H").tolist() == [2]
    assert index.locate(b" ").tolist() == [8]
    assert index.locate(b"w").tolist() == [11]
    assert index.locate(b"\x00").tolist() == [18]
    assert index.locate(b"d\x00").tolist() == [15]
    # vertical tab and no-break space are not collapsed
    kept = FMIndex(b"a\x0b\x0bb \xc2\xa0 c", normalize_whitespace=True)
    assert len(kept) == 9 and kept.count(b"\x0b\x0b") == 1


def test_both_flags_together():
    index = FMIndex(b"Ab  AB\tab", locate_level=1, case_insensitive=True, normalize_whitespace=True)
    assert len(index) == 8
    # indexed text 'ab ab ab'; the removed second space lies before prepared offsets 3 and up
    assert index.locate(b"AB").tolist() == [7, 4, 0]
    assert index.locate(b"b a").tolist() == [5, 1]


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


def test_invalid_utf8_is_fine_without_flags():
    index = FMIndex(b"\xff\xfe\xff\xfe")
    assert len(index) == 4
    assert index.locate(b"\xff\xfe").tolist() == [2, 0]


def test_whole_text_and_longer_patterns():
    data = b"mississippi"
    index = FMIndex(data)
    assert index.locate(data).tolist() == [0]
    assert index.count(data + b"i") == 0
    assert index.count(b"x" * 50) == 0


# ---------------------------------------------------------------------------------------------
# heap_size
# ---------------------------------------------------------------------------------------------

def sample_words(length, level):
    """64-bit words holding the sampled suffix-array entries of a text of the given length."""
    n = length + 1
    shift = level % 64
    effective = level if n > 2**shift else 0
    samples = ((n - 1) >> (effective % 64)) + 1
    return -(-samples * n.bit_length() // 64)


@pytest.mark.parametrize("length", [0, 1, 3, 4, 63, 100, 1000, 4095])
def test_heap_size_differs_by_exactly_the_sample_words(length):
    data = bytes(random.Random(length).choice(b"acgt") for _ in range(length))
    base = FMIndex(data, 0).heap_size()
    # c_array, samples and at least one payload bit per BWT symbol on each of the eight levels
    assert base >= 2048 + 8 * sample_words(length, 0) + 8 * 8 * -(-(length + 1) // 64)
    sizes = {}
    for level in list(range(0, 20)) + [40, 63, 64, 65, 66, 70, 2**64 - 1]:
        size = FMIndex(data, level).heap_size()
        assert size - base == 8 * (sample_words(length, level) - sample_words(length, 0)), level
        sizes[level] = size
    rows = length + 1
    # while 2**level stays below the row count, raising the level never adds memory
    sparse = [sizes[level] for level in range(20) if 2**level < rows]
    assert sparse == sorted(sparse, reverse=True)
    # once 2**level reaches the row count every row is sampled, as at level 0
    for level in list(range(20)) + [40, 63]:
        if 2**level >= rows:
            assert sizes[level] == sizes[0], level
    assert sizes[64] == sizes[0] and sizes[66] == sizes[2] and sizes[65] == sizes[1]
    assert sizes[2**64 - 1] == sizes[0]
    if length >= 100:
        assert sizes[6] < sizes[0]


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
