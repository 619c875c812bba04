"""Repeated calls with good and bad arguments must not grow the process."""

import gc

import quarnel
from quarnel import _native


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


PASSAGES = dict.fromkeys("ab", "one two three \u00e9")
PHRASES = ["alpha beta gamma delta x", "alpha beta gamma delta y"]
FIND = (_native.find_duplicates, _native.find_duplicates_normalized)

GOOD_CALLS = [
    lambda: _native.suffix_array_fn(b"mississippi" * 20, "sais"),
    lambda: _native.lcp_array(b"banana" * 30),
    lambda: _native.locate(b"banana" * 30, b"an"),
    lambda: _native.search_range(b"banana", b"na"),
    lambda: _native.bwt(b"banana" * 10),
    lambda: _native.inverse_bwt_fn(b"nnbaaa", 3),
    lambda: _native.sa_from_bytes(_native.sa_to_bytes(b"banana")),
    lambda: _native.inverse_suffix_array(b"banana"),
    lambda: _native.distinct_substring_count("mississippi\U0001f600"),
    lambda: _native.longest_common_substring("banana", "ananas"),
    *[lambda fn=fn: fn("alpha beta gamma delta and alpha beta gamma delta") for fn in FIND],
    lambda: _native.FMIndex(b"abracadabra", 1).locate(b"abra"),
    lambda: _native.FMIndex(b"a  b", normalize_whitespace=True).count(b"a b"),
    lambda: quarnel.find_phrases(PHRASES).to_dicts(),
    lambda: list(quarnel.find_passages(PASSAGES, min_words=2, removed=[[(0, 1)], []])),
]

BAD_CALLS = [
    lambda: _native.suffix_array_fn("text"),
    lambda: _native.suffix_array_fn(b"abc", "nope"),
    lambda: _native.suffix_array_fn(b"abc", None, 1),
    lambda: _native.count(b"abc"),
    lambda: _native.count(b"abc", b"a", bogus=1),
    lambda: _native.count(b"abc", b"a", data=b"x"),
    lambda: _native.inverse_bwt_fn(b"abc", -1),
    lambda: _native.inverse_bwt_fn(b"abc", 1.5),
    lambda: _native.inverse_bwt_fn(b"abc", 7),
    lambda: _native.bwt(b""),
    lambda: _native.distinct_substring_count("\ud800"),
    *[lambda fn=fn: fn("x", min_words=-1) for fn in FIND],
    lambda: _native.find_duplicates("x", removed_ranges="ab"),
    lambda: _native.find_duplicates("x", removed_ranges=[(1, 2, 3)]),
    lambda: _native.find_duplicates("x", removed_ranges=[[1, 2]]),
    lambda: _native.find_duplicates("x", removed_ranges=5),
    lambda: _native.FMIndex(b"a\x00b"),
    lambda: _native.FMIndex(b"\xff", case_insensitive=True),
    lambda: _native.FMIndex(b"abc", locate_level=None),
    lambda: _native.FMIndex(b"abc").count("x"),
    lambda: quarnel.find_phrases(["ok", 3]),
    lambda: quarnel.find_passages(["\ud800 lone"]),
    lambda: quarnel.find_passages(["ab"], removed=[[(1, 5)]]),
]


def exercise(rounds):
    for _ in range(rounds):
        for call in GOOD_CALLS:
            call()
        for call in BAD_CALLS:
            try:
                call()
            except Exception:
                pass
    gc.collect()


def test_memory_does_not_grow():
    exercise(300)
    before = rss_bytes()
    exercise(3000)
    grown = rss_bytes() - before
    # A leak of even one small object per call would add several megabytes here.
    assert grown < 2 * 1024 * 1024, f"resident memory grew by {grown} bytes"
