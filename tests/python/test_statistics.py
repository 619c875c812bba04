"""Substring statistics over UTF-16 code units."""

import pytest

from quarnel import _native


def units(text):
    raw = text.encode("utf-16-le", "surrogatepass")
    return [int.from_bytes(raw[i:i + 2], "little") for i in range(0, len(raw), 2)]


def brute_distinct(text):
    u = units(text)
    return len({tuple(u[i:j]) for i in range(len(u)) for j in range(i + 1, len(u) + 1)})


def brute_lcs(a, b):
    ua, ub = units(a), units(b)
    subs_b = {tuple(ub[i:j]) for i in range(len(ub)) for j in range(i + 1, len(ub) + 1)}
    common = [tuple(ua[i:j]) for i in range(len(ua)) for j in range(i + 1, len(ua) + 1)
              if tuple(ua[i:j]) in subs_b]
    if not common:
        return ""
    best = max(map(len, common))
    smallest = min(c for c in common if len(c) == best)
    raw = b"".join(u.to_bytes(2, "little") for u in smallest)
    return raw.decode("utf-16-le", "replace")


@pytest.mark.parametrize(
    "text,expected",
    [("banana", 15), ("mississippi", 53), ("aaa", 3), ("abc", 6), ("a", 1), ("", 0),
     ("é", 1), ("\U0001F600", 3)],
)
def test_documented_distinct_counts(text, expected):
    assert _native.distinct_substring_count(text) == expected


@pytest.mark.parametrize(
    "a,b,expected",
    [("banana", "ananas", "anana"), ("xabcy", "zabcw", "abc"), ("abcXdef", "defYabc", "abc"),
     ("ab", "ba", "a"), ("aaa", "aa", "aa"), ("abc", "xyz", ""), ("", "abc", ""),
     ("\U0001F600", "\U0001F601", "\ufffd")],
)
def test_documented_common_substrings(a, b, expected):
    assert _native.longest_common_substring(a, b) == expected


ALPHABETS = ["ab", "abc", "aé\U0001F600", "\U0001F600\U0001F601x", "\uffff\U00010000a"]


def random_text(rng, alphabet, max_len):
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(max_len)))


def test_distinct_count_differential(rng):
    for _ in range(800):
        text = random_text(rng, rng.choice(ALPHABETS), 14)
        assert _native.distinct_substring_count(text) == brute_distinct(text)


def test_longest_common_substring_differential(rng):
    for _ in range(800):
        alphabet = rng.choice(ALPHABETS)
        a, b = random_text(rng, alphabet, 12), random_text(rng, alphabet, 12)
        assert _native.longest_common_substring(a, b) == brute_lcs(a, b)


def test_lone_surrogates_are_refused():
    with pytest.raises(UnicodeEncodeError):
        _native.distinct_substring_count("a\udc00")
    with pytest.raises(UnicodeEncodeError):
        _native.longest_common_substring("abc", "\ud800")


def test_long_text():
    text = "the cat sat on the mat " * 2000
    n = len(text)
    assert 0 < _native.distinct_substring_count(text) < n * (n + 1) // 2
    assert _native.longest_common_substring(text, "xx the cat sat on the mat yy") == " the cat sat on the mat "
