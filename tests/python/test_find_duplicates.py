"""Python surface of the duplicate-phrase finder: find_duplicates and find_duplicates_normalized.

The differential tests compare the extension against a brute-force re-derivation of the whole
pipeline written here in plain Python (suffix order by sorting, run scan, phrase cutting,
substring elimination, merging, block detection, offset translation, UTF-16 conversion and the
final ordering).  The random texts contain no sentence punctuation, so the only sentence
boundaries are line feeds, which the oracle knows exactly.
"""

import gc
import json
from bisect import bisect_right, insort
from collections import namedtuple
from collections.abc import Sequence

import numpy as np
import pytest

from quarnel import _native
from conftest import collapse_ascii_whitespace

find_duplicates = _native.find_duplicates
find_duplicates_normalized = _native.find_duplicates_normalized

U64_MAX = 2**64 - 1
KEYS = ["phrase", "count", "string_length", "number_of_words", "occurrences"]

BASE = "alpha beta gamma delta and alpha beta gamma delta"
BASE_RESULT = [
    {
        "phrase": "alpha beta gamma delta",
        "count": 2,
        "string_length": 22,
        "number_of_words": 4,
        "occurrences": [{"start": 0, "end": 22}, {"start": 27, "end": 49}],
    }
]
DOUBLE_SPACED = "alpha beta  gamma delta and alpha beta gamma delta"


# ---------------------------------------------------------------------------------------------
# Brute-force oracle
# ---------------------------------------------------------------------------------------------

WHITE_SPACE = "".join(
    map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028,
              0x2029, 0x202F, 0x205F, 0x3000])
)
WS_SET = frozenset(WHITE_SPACE)
# Characters that can end a sentence; the oracle only handles texts without them.
TERMINATORS = frozenset(".!?\u0964\u0965\u061f\u06d4\u104a\u104b\u1362\u1367\u1368\u2026\u3002"
                        "\uff01\uff0e\uff1f")


class Undetermined(Exception):
    """The input hits a case whose outcome is left open (a merge cut inside a character)."""


def is_word_byte(b):
    return b >= 0x80 or 0x30 <= b <= 0x39 or 0x41 <= b <= 0x5A or 0x61 <= b <= 0x7A


def word_bounds(t):
    starts = [i for i in range(len(t)) if is_word_byte(t[i]) and (i == 0 or not is_word_byte(t[i - 1]))]
    ends = [i + 1 for i in range(len(t))
            if is_word_byte(t[i]) and (i == len(t) - 1 or not is_word_byte(t[i + 1]))]
    return starts, ends


def count_ws_words(s):
    words, inside = 0, False
    for c in s:
        if c in WS_SET:
            inside = False
        elif not inside:
            words, inside = words + 1, True
    return words


def normalize_phrase(s):
    out, after_space = [], True
    for c in s:
        if c in WS_SET:
            if not after_space:
                out.append(" ")
                after_space = True
        else:
            out.append(c)
            after_space = False
    if out and out[-1] == " ":
        out.pop()
    return "".join(out)


def suffix_and_lcp(t):
    sa = sorted(range(len(t)), key=lambda i: t[i:])
    lcp = [0] * len(t)
    for r in range(1, len(t)):
        a, b, k = sa[r - 1], sa[r], 0
        while a + k < len(t) and b + k < len(t) and t[a + k] == t[b + k]:
            k += 1
        lcp[r] = k
    return sa, lcp


def lcp_runs(lcp, threshold):
    r = 1
    while r < len(lcp):
        if lcp[r] < threshold:
            r += 1
            continue
        s, top = r, lcp[r]
        while s < len(lcp) and lcp[s] >= threshold:
            top = max(top, lcp[s])
            s += 1
        yield r, s, top
        r = s


Rec = namedtuple("Rec", "phrase starts ends count nbytes words")


def make_rec(phrase, starts, ends):
    return Rec(phrase, list(starts), list(ends), len(starts), len(phrase.encode()), count_ws_words(phrase))


def candidates_by_suffix_runs(t, sa, lcp, min_words, min_chars, max_words):
    """Phrase map {phrase: [starts]} cut from suffix-array runs, exactly as the finder does."""
    text = t.decode()
    assert not TERMINATORS & set(text), "oracle needs a text without sentence punctuation"
    bounds = [i for i, b in enumerate(t) if b == 0x0A]
    wstarts, wends = word_bounds(t)
    wstart_set = set(wstarts)
    threshold = min_chars + max(min_words - 1, 0)
    found = {}
    for r, s, top in lcp_runs(lcp, threshold):
        for k in range(r - 1, s):
            p = sa[k]
            if p not in wstart_set:
                continue
            cap = min(len(t) - p, top)
            if cap < threshold or not wends:
                continue
            j = bisect_right(bounds, p)
            limit_sentence = bounds[j] if j < len(bounds) else U64_MAX
            first = bisect_right(wends, p)
            last = bisect_right(wends, min(limit_sentence, p + cap))
            hi = min(first + max_words, last)
            for words in range(max(min_words, 1), hi - first + 1):
                e = wends[first + words - 1]
                phrase = normalize_phrase(t[p:e].decode())
                raw = phrase.encode()
                if len(raw) - raw.count(b" ") > min_chars:
                    found.setdefault(phrase, []).append(p)
    return found


def eliminate_substrings(recs):
    flagged = [False] * len(recs)
    for i, outer in enumerate(recs):
        if flagged[i]:
            continue
        for j, inner in enumerate(recs):
            if j == i or flagged[j] or inner.phrase == outer.phrase:
                continue
            if inner.phrase.encode() in outer.phrase.encode() and inner.count <= outer.count:
                flagged[j] = True
    return [r for r, f in zip(recs, flagged) if not f]


def merge_phrases(t, recs):
    recs = sorted(recs, key=lambda r: (-r.count, r.starts[0]))
    out, prev = [], recs[0]
    for cur in recs[1:]:
        if (prev.count == cur.count and len(prev.starts) == len(cur.starts)
                and all((cs - pe) % 2**64 < 3 for cs, pe in zip(cur.starts, prev.ends))):
            cut = cur.ends[0]
            if cut < len(t) and t[cut] & 0xC0 == 0x80:
                raise Undetermined("merge cut inside a character")
            phrase = t[prev.starts[0]:cut].decode().strip(WHITE_SPACE)
            prev = make_rec(phrase, prev.starts, cur.ends)
        else:
            out.append(prev)
            prev = cur
    out.append(prev)
    return out


def last_interval_holds(intervals, start, end):
    i = bisect_right(intervals, (start, float("inf"))) - 1
    return i >= 0 and end <= intervals[i][1]


def detect_blocks(t, sa, lcp, recs, min_chars, max_words):
    n = len(t)
    min_block = max(min_chars, 4 * max_words)
    cap = 100 * max_words

    def on_boundary(i):
        return i >= n or t[i] & 0xC0 != 0x80

    block_map = {}
    if n >= 2 * min_block and n >= 2:
        for r, s, top in lcp_runs(lcp, min_block):
            block_len = min(cap, top)
            positions, block = set(), None
            for k in range(r, s):
                a, b = sa[k - 1], sa[k]
                if lcp[k] != block_len or not on_boundary(a) or not on_boundary(b):
                    continue
                end = min(a + block_len, n)
                while not on_boundary(end):
                    end -= 1
                length = end - a
                if length < min_block or b + length > n:
                    continue
                positions |= {a, b}
                if block is None:
                    block = t[a:end]
            if block is not None and len(positions) >= 2:
                block_map.setdefault(block, []).extend(sorted(positions))
    block_list = sorted(((b, sorted(set(o))) for b, o in block_map.items()), key=lambda e: -len(e[0]))
    covered, accepted = [], {}
    for block, offsets in block_list:
        if all(last_interval_holds(covered, p, p + len(block)) for p in offsets):
            continue
        for p in offsets:
            insort(covered, (p, p + len(block)))
        accepted[block] = offsets
    blocks = [make_rec(b.decode(), o, [p + len(b) for p in o]) for b, o in accepted.items()]
    spans = sorted((s, e) for b in blocks for s, e in zip(b.starts, b.ends))
    if spans:
        recs = [r for r in recs if not all(last_interval_holds(spans, s, e) for s, e in zip(r.starts, r.ends))]
    return recs, blocks


def cumulative_deltas(ranges):
    table, total = [], 0
    for s, e in sorted(ranges, key=lambda r: r[0]):
        table.append((s - total, total + (e - s)))
        total += e - s
    return table


def to_source(table, x):
    idx = bisect_right([pos for pos, _ in table], x)
    return x if idx == 0 else x + table[idx - 1][1]


def utf16_table(source):
    table, units = [], 0
    for ch in source:
        table.append(units)
        units += 2 if ord(ch) > 0xFFFF else 1
        table.extend([units] * (len(ch.encode()) - 1))
    table.append(units)
    return table


def oracle(analysis, source=None, removed=(), min_words=4, min_chars=9, max_words=50,
           min_words_in_substring=2, blocks=False):
    """Expected result as a list of (dict, is_block) pairs."""
    source = analysis if source is None else source
    t = analysis.encode()
    sa, lcp = suffix_and_lcp(t)
    found = candidates_by_suffix_runs(t, sa, lcp, min_words, min_chars, max_words) if len(t) >= 2 else {}
    recs = []
    for phrase, starts in found.items():
        starts = sorted(set(starts))
        if len(starts) >= 2:
            recs.append(make_rec(phrase, starts, [s + len(phrase.encode()) for s in starts]))
    recs.sort(key=lambda r: -r.nbytes)
    recs = [r for r in recs if r.words >= min_words_in_substring]
    if len(recs) >= 2:
        recs = eliminate_substrings(recs)
    if len(recs) >= 2:
        recs = merge_phrases(t, recs)
    tagged = [(r, False) for r in recs]
    if blocks:
        recs, block_recs = detect_blocks(t, sa, lcp, recs, min_chars, max_words)
        tagged = [(r, False) for r in recs] + [(b, True) for b in block_recs]
    deltas = cumulative_deltas(removed) if removed else None
    table = utf16_table(source)
    results = []
    for rec, is_block in tagged:
        occurrences = []
        for s, e in zip(rec.starts, rec.ends):
            if deltas is not None:
                s, e = to_source(deltas, s), to_source(deltas, e)
            s = table[s] if s < len(table) else s
            e = table[e] if e < len(table) else e
            occurrences.append({"start": s, "end": e})
        results.append(({"phrase": rec.phrase, "count": len(occurrences), "string_length": len(rec.phrase),
                         "number_of_words": rec.words, "occurrences": occurrences}, is_block))
    results.sort(key=lambda item: -item[0]["string_length"])
    return results


def normalize(text, case_insensitive, collapse):
    t = text.encode()
    if case_insensitive:
        t = bytes(b | 0x20 if 0x41 <= b <= 0x5A else b for b in t)
    removed = []
    if collapse:
        t, removed = collapse_ascii_whitespace(t)
    return t.decode(), removed


def canonical(d):
    return json.dumps(d, sort_keys=True, ensure_ascii=False)


def assert_matches_oracle(actual, expected):
    """Phrase records must match in order; block records of equal length may come in any order."""
    assert [d["string_length"] for d in actual] == [d["string_length"] for d, _ in expected]
    i = 0
    while i < len(expected):
        j = i
        while j < len(expected) and expected[j][0]["string_length"] == expected[i][0]["string_length"]:
            j += 1
        phrases = [d for d, is_block in expected[i:j] if not is_block]
        blocks = [d for d, is_block in expected[i:j] if is_block]
        assert actual[i:i + len(phrases)] == phrases
        assert sorted(map(canonical, actual[i + len(phrases):j])) == sorted(map(canonical, blocks))
        i = j


# ---------------------------------------------------------------------------------------------
# Random texts
# ---------------------------------------------------------------------------------------------

SIMPLE_VOCAB = ["alpha", "beta", "gamma", "eta", "zeta", "theta", "delta", "be", "at", "ab", "a",
                "b2", "x9"]
RICH_VOCAB = SIMPLE_VOCAB + ["Alpha", "BETA", "Gamma", "\u00e9t\u00e9", "na\u00efve", "\U0001d49cx",
                             "y\U0001f600", "\u00c4bc", "\u65e5\u672c", "don't", "e-mail", "q\u00a0r",
                             "\u03a3\u03c3"]
RICH_SEPARATORS = [" "] * 12 + ["  ", "\t", "\n", " \n", ", ", " - ", "\u3000", "\r\n", ";"]


def random_words(rng, vocab, count):
    words = []
    while len(words) < count:
        if len(words) > 3 and rng.random() < 0.35:
            i = rng.randrange(len(words))
            words.extend(words[i:i + rng.randint(2, 14)])
        else:
            words.append(rng.choice(vocab))
    return words[:count]


def simple_text(rng, count):
    return " ".join(random_words(rng, SIMPLE_VOCAB, count))


def rich_text(rng, count, vocab=RICH_VOCAB, separators=RICH_SEPARATORS):
    """Words with separators attached; repeated spans copy their separators too, except that now
    and then one separator of a copy is changed (a repeat that differs only in white space or
    that is cut by a line feed)."""
    units = []
    while len(units) < count:
        if len(units) > 3 and rng.random() < 0.4:
            i = rng.randrange(len(units))
            copy = units[i:i + rng.randint(2, 14)]
            if rng.random() < 0.5:
                k = rng.randrange(len(copy))
                copy[k] = (copy[k][0], rng.choice(separators))
            units.extend(copy)
        else:
            units.append((rng.choice(vocab), rng.choice(separators)))
    parts = [rng.choice(["", "", " ", "\n "])]
    for word, sep in units[:count]:
        parts += [word, sep]
    parts[-1] = rng.choice(["", "", " ", " \n"])
    return "".join(parts)


MERGE_GAPS = ["\n", "\n", " \n", "\n\n", " \n\n", "\n \n", "  ", "   ", "\t", " ", "\u00a0"]


def sentence_text(rng):
    """A short story of line-separated sentences told two or three times with assorted gaps
    between its sentences, sometimes cut short and mixed with stray sentences: neighbouring
    phrases whose occurrences are 1, 2, 3 or more bytes apart, with equal or different counts."""
    vocab = SIMPLE_VOCAB + ["\u00e9t\u00e9", "\U0001d49cx", "Gamma"]
    story = [" ".join(rng.choice(vocab) for _ in range(rng.randint(3, 7))) for _ in range(rng.randint(2, 5))]
    pieces = []
    for _ in range(rng.randint(2, 3)):
        lo = rng.choice([0, 0, 0, 1])
        hi = len(story) - rng.choice([0, 0, 0, 1])
        for sentence in story[lo:hi]:
            pieces += [sentence, rng.choice(MERGE_GAPS)]
        if rng.random() < 0.4:
            pieces += [rng.choice(story), "\n"]
        pieces.append(rng.choice(["\n", "xq ", "\n\n"]))
    return "".join(pieces)


PARAMS = [
    dict(),
    dict(min_words=2, min_chars=4, max_words=6),
    dict(min_words=3, min_chars=6, max_words=8, min_words_in_substring=3),
    dict(min_words=0, min_chars=5, max_words=3, min_words_in_substring=1),
    dict(min_words=5, min_chars=12, max_words=9, min_words_in_substring=0),
]


def compare_with_oracle(rounds, make_case):
    """Checks the finder against the pipeline oracle on `rounds` cases, make_case(trial) giving
    the oracle's arguments and the calls that must answer as it does; returns how many cases the
    oracle could decide (it leaves out texts whose outcome is left open)."""
    decided = 0
    for trial in range(rounds):
        args, kwargs, calls = make_case(trial)
        try:
            expected = oracle(*args, **kwargs)
        except Undetermined:
            continue
        decided += 1
        for call in calls:
            assert_matches_oracle(call(), expected)
    return decided


# Rich texts: mixed separators (double spaces, tabs, line feeds, ideographic spaces,
# punctuation), accented, astral and no-break-space words, upper case. Recombined sentences:
# phrases cut by line feeds and by changed white space merge (or not) by their gaps and counts.
@pytest.mark.parametrize("texts,params", [("rich", p) for p in PARAMS] + [("sentences", p) for p in PARAMS[:3]])
def test_pipeline_matches_the_oracle(rng, texts, params):
    def case(_):
        text = rich_text(rng, rng.randint(4, 80)) if texts == "rich" else sentence_text(rng)
        return (text,), params, [lambda: find_duplicates(text, **params)]

    assert compare_with_oracle(50, case) >= 38


@pytest.mark.parametrize("vocab", [SIMPLE_VOCAB, RICH_VOCAB], ids=["ascii", "rich"])
@pytest.mark.parametrize("max_words", [4, 5, 6])
def test_block_detection_matches_oracle(rng, max_words, vocab):
    # Small max_words gives a block minimum of 4*max_words bytes and a cap of 100*max_words.
    # ASCII texts and texts with multi-byte characters check block ends in different ways.
    def case(_):
        words = random_words(rng, vocab, rng.randint(20, 140))
        i = rng.randrange(len(words))
        words += ["filler"] + words[i:i + rng.randint(10, 120)]  # long verbatim copies: blocks
        text, params = " ".join(words), dict(max_words=max_words, min_words=rng.choice([2, 4]))
        return (text,), dict(params, blocks=True), [
            lambda: find_duplicates(text, **params, enable_block_detection=True)]

    assert compare_with_oracle(25, case) >= 20


@pytest.mark.parametrize("case_insensitive", [False, True])
@pytest.mark.parametrize("collapse", [False, True])
def test_normalized_matches_oracle_and_sanitized_call(rng, case_insensitive, collapse):
    def case(trial):
        text, params = rich_text(rng, rng.randint(4, 70)), PARAMS[trial % 3]
        analysis, removed = normalize(text, case_insensitive, collapse)
        return (analysis, text, removed), params, [
            lambda: find_duplicates_normalized(text, case_insensitive, collapse, **params),
            # the same analysis handed over as a sanitised copy with its removed ranges
            lambda: find_duplicates(text, analysis, removed, **params)]

    assert compare_with_oracle(30, case) >= 24


# ---------------------------------------------------------------------------------------------
# Results, defaults and accepted forms
# ---------------------------------------------------------------------------------------------

def test_result_shape_and_key_order():
    result = find_duplicates(BASE)
    assert result == BASE_RESULT
    assert list(result[0]) == KEYS
    assert [list(o) for o in result[0]["occurrences"]] == [["start", "end"]] * 2
    assert all(type(result[0][k]) is int for k in ("count", "string_length", "number_of_words"))
    assert type(result[0]["phrase"]) is str


@pytest.mark.parametrize("enabled", [True, False])
def test_garbage_collector_state_is_restored(enabled):
    (gc.enable if enabled else gc.disable)()
    try:
        assert find_duplicates(BASE) == BASE_RESULT
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


@pytest.mark.parametrize("fn", [find_duplicates, find_duplicates_normalized])
@pytest.mark.parametrize("text", ["", "a", "x" * 40, "no repeats in this short line at all"])
def test_texts_without_repeats_give_empty_list(fn, text):
    assert fn(text) == []
    assert fn(text, enable_block_detection=True) == []


def test_none_defaults_and_positional_forms_agree(rng):
    text = "alpha beta gamma delta epsilon zeta, and alpha beta gamma delta epsilon zeta " * 3
    explicit = find_duplicates(text, None, None, 4, 9, 50, 2, False)
    assert find_duplicates(text) == explicit
    assert find_duplicates(text, None, None, None, None, None, None, None) == explicit
    assert find_duplicates(text, removed_ranges=[]) == explicit
    assert find_duplicates_normalized(text, False, False, None, None, None, None, None) == explicit
    assert find_duplicates_normalized(text, False, False, 4, 9, 50, 2, False) == explicit
    text = simple_text(rng, 120)
    assert find_duplicates(text, None, None, 3, 6, 7, 3, True) == find_duplicates(
        text, enable_block_detection=True, min_words_in_substring=3, max_words=7, min_chars=6, min_words=3)
    assert find_duplicates_normalized(text, True, False, 5) == find_duplicates_normalized(
        text, min_words=5, case_insensitive=True)


# ---------------------------------------------------------------------------------------------
# Argument errors
# ---------------------------------------------------------------------------------------------

def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.type, str(info.value)


class NotASequence:
    pass


class RegisteredOnly:
    def __iter__(self):
        return iter([(1, 2)])


Sequence.register(RegisteredOnly)


class IteratorError:
    """A sequence whose items fail from index 1 on."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 0:
            return (11, 12)
        raise self.exc


class LengthError:
    """A sequence whose length query fails; iteration still works."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i == 0:
            return (11, 12)
        raise IndexError(i)


class Pair(tuple):
    pass


@pytest.mark.parametrize(
    "call,expected",
    [
        # binding errors (missing, extra, unknown or repeated arguments): test_frame.py
        (lambda: find_duplicates(b"a"), (TypeError, "argument 'text': 'bytes' object is not an instance of 'str'")),
        (lambda: find_duplicates(None), (TypeError, "argument 'text': 'NoneType' object is not an instance of 'str'")),
        (lambda: find_duplicates("a", b"a"), (TypeError, "argument 'sanitized_text': 'bytes' object is not an instance of 'str'")),
        (lambda: find_duplicates_normalized(3), (TypeError, "argument 'text': 'int' object is not an instance of 'str'")),
        (lambda: find_duplicates_normalized("a", None), (TypeError, "argument 'case_insensitive': 'None' is not an instance of 'bool'")),
        (lambda: find_duplicates_normalized("a", 1), (TypeError, "argument 'case_insensitive': 'int' object is not an instance of 'bool'")),
        (lambda: find_duplicates_normalized("a", False, 0), (TypeError, "argument 'collapse_whitespace': 'int' object is not an instance of 'bool'")),
        (lambda: find_duplicates("a", enable_block_detection=1), (TypeError, "argument 'enable_block_detection': 'int' object is not an instance of 'bool'")),
        (lambda: find_duplicates("a", min_words="4"), (TypeError, "argument 'min_words': 'str' object cannot be interpreted as an integer")),
        (lambda: find_duplicates_normalized("a", min_chars=9.0), (TypeError, "argument 'min_chars': 'float' object cannot be interpreted as an integer")),
        (lambda: find_duplicates("a", removed_ranges="ab"), (TypeError, "argument 'removed_ranges': Can't extract `str` to `Vec`")),
        (lambda: find_duplicates("a", removed_ranges=5), (TypeError, "argument 'removed_ranges': 'int' object is not an instance of 'Sequence'")),
        (lambda: find_duplicates("a", removed_ranges={(1, 2)}), (TypeError, "argument 'removed_ranges': 'set' object is not an instance of 'Sequence'")),
        (lambda: find_duplicates("a", removed_ranges=iter([(1, 2)])), (TypeError, "argument 'removed_ranges': 'list_iterator' object is not an instance of 'Sequence'")),
        (lambda: find_duplicates("a", removed_ranges=NotASequence()), (TypeError, "argument 'removed_ranges': 'NotASequence' object is not an instance of 'Sequence'")),
        (lambda: find_duplicates("a", removed_ranges=RegisteredOnly()), (TypeError, "argument 'removed_ranges': 'RegisteredOnly' object is not an instance of 'Sequence'")),
        (lambda: find_duplicates("a", removed_ranges=[[1, 2]]), (TypeError, "argument 'removed_ranges': 'list' object is not an instance of 'tuple'")),
        (lambda: find_duplicates("a", removed_ranges=range(3)), (TypeError, "argument 'removed_ranges': 'int' object is not an instance of 'tuple'")),
        (lambda: find_duplicates("a", removed_ranges=[(1, 2, 3)]), (ValueError, "expected tuple of length 2, but got tuple of length 3")),
        (lambda: find_duplicates("a", removed_ranges=((),)), (ValueError, "expected tuple of length 2, but got tuple of length 0")),
        (lambda: find_duplicates("a", removed_ranges=[(1, "2")]), (TypeError, "argument 'removed_ranges': 'str' object cannot be interpreted as an integer")),
        (lambda: find_duplicates("a", removed_ranges=IteratorError(RuntimeError("boom"))), (RuntimeError, "boom")),
        (lambda: find_duplicates("a", removed_ranges=IteratorError(TypeError("bad item"))), (TypeError, "argument 'removed_ranges': bad item")),
        # the first failing argument in parameter order is the one reported
        (lambda: find_duplicates(5, removed_ranges="x"), (TypeError, "argument 'text': 'int' object is not an instance of 'str'")),
        (lambda: find_duplicates("a", removed_ranges="x", min_words="y"), (TypeError, "argument 'removed_ranges': Can't extract `str` to `Vec`")),
        (lambda: find_duplicates_normalized("a", None, 1), (TypeError, "argument 'case_insensitive': 'None' is not an instance of 'bool'")),
    ],
)
def test_argument_errors(call, expected):
    assert error_of(call) == expected


# Overflow and lone surrogates, unprefixed, and the accepted forms of each argument: test_frame.py.
SOURCE_50 = DOUBLE_SPACED
SANITIZED_49 = BASE
SANITIZED_RESULT = [dict(BASE_RESULT[0], occurrences=[{"start": 0, "end": 23}, {"start": 28, "end": 50}])]


@pytest.mark.parametrize(
    "args,expected",
    [((SOURCE_50, SANITIZED_49, r), SANITIZED_RESULT)
     for r in ([(11, 12)], ((11, 12),), [Pair((11, 12))], (Pair((np.uint64(11), 12)),), LengthError(),
               [namedtuple("Span", "start end")(11, 12)])]
    + [((BASE, None, empty), BASE_RESULT) for empty in ([], (), range(0), None, b"")],
    ids=["list", "tuple", "tuple-subclass", "numpy-elements", "failing-length", "namedtuple",
         "empty-list", "empty-tuple", "empty-range", "none", "empty-bytes"],
)
def test_removed_ranges_accepted_forms(args, expected):
    assert find_duplicates(*args) == expected


# ---------------------------------------------------------------------------------------------
# Extreme integer parameters
# ---------------------------------------------------------------------------------------------

LONG_REPEAT = " ".join(f"w{i}x" for i in range(60))
LONG_TEXT = f"{LONG_REPEAT} and {LONG_REPEAT}; {BASE}"


# Saturation of the derived limits is the engine's (DerivedLimits, Blocks.SaturatedLimits in
# C++); here the largest values arrive through the binding unchanged.
@pytest.mark.parametrize("fn", [find_duplicates, lambda text, **kw: find_duplicates_normalized(text, True, True, **kw)])
def test_largest_integer_parameters(fn):
    for kwargs in (dict(min_words=U64_MAX), dict(min_chars=U64_MAX, enable_block_detection=True),
                   dict(min_words_in_substring=U64_MAX)):
        assert fn(LONG_TEXT, **kwargs) == []
    expected = fn(LONG_TEXT, max_words=10**6)
    assert expected[0]["phrase"] == LONG_REPEAT
    for max_words in (2**32, 2**63, U64_MAX):  # not cut to 32 bits, nor read as signed
        assert fn(LONG_TEXT, max_words=max_words) == expected
