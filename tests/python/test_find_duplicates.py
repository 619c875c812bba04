"""find_duplicates and find_duplicates_normalized: the whole pipeline against a plain Python
re-derivation of it (suffix order by sorting, run scan, phrase cutting, substring elimination,
merging, block detection, offset translation, UTF-16 conversion, final order), then what the
binding adds: the result's shape, defaults, argument errors and the accepted forms.

The random texts hold no sentence punctuation, so the only sentence boundaries are line feeds,
which the oracle knows exactly.
"""

import gc
import json
import os
import re
from bisect import bisect_right, insort
from collections import namedtuple
from collections.abc import Sequence
from itertools import groupby

import numpy as np
import pytest

from conftest import BASE, BASE_RESULT, REPEAT, WHITE_SPACE, brute_suffix_array, error_of
from conftest import NON_WHITE, collapse_ascii_whitespace, normalised
from quarnel import _native

fd, fdn = _native.find_duplicates, _native.find_duplicates_normalized
U64_MAX = 2**64 - 1
WORD = re.compile(rb"[0-9A-Za-z\x80-\xff]+")
TERMINATORS = set(".!?\u0964\u0965\u061f\u06d4\u104a\u104b\u1362\u1367\u1368\u2026\u3002")
TERMINATORS |= set("\uff01\uff0e\uff1f")
Rec = namedtuple("Rec", "phrase starts ends")
DEFAULTS = dict(min_words=4, min_chars=9, max_words=50, min_words_in_substring=2)
count_words = lambda phrase: len(NON_WHITE.findall(phrase))  # noqa: E731


# --- the oracle ------------------------------------------------------------------------------
class Undetermined(Exception):
    """The input hits a case whose outcome is left open (a merge cut inside a character)."""


def lcp_runs(lcp, threshold):
    """(first, end, top) of each run of LCP entries at or above the threshold."""
    for above, run in groupby(range(1, len(lcp)), key=lambda r: lcp[r] >= threshold):
        if above:
            run = list(run)
            yield run[0], run[-1] + 1, max(lcp[r] for r in run)


def candidates(t, sa, lcp, min_words, min_chars, max_words):
    """{phrase: starts} cut from the suffix array's runs, as the finder cuts them."""
    assert not TERMINATORS & set(t.decode()), "the oracle needs a text without sentence stops"
    bounds = [i for i, b in enumerate(t) if b == 0x0A] + [len(t)]
    spans = [m.span() for m in WORD.finditer(t)]
    starts, ends = {s for s, _ in spans}, [e for _, e in spans]
    threshold = min_chars + max(min_words - 1, 0)
    found = {}
    for r, s, top in lcp_runs(lcp, threshold):
        for p in sa[r - 1 : s]:
            cap = min(len(t) - p, top)
            if p not in starts or cap < threshold:
                continue
            first = bisect_right(ends, p)
            last = bisect_right(ends, min(bounds[bisect_right(bounds, p)], p + cap))
            for e in ends[first + max(min_words, 1) - 1 : min(first + max_words, last)]:
                phrase = normalised(t[p:e].decode())
                if len(phrase.encode()) - phrase.count(" ") > min_chars:
                    found.setdefault(phrase, []).append(p)
    return found


def eliminate_substrings(recs):
    gone = set()
    for i, outer in enumerate(recs):
        for j, inner in enumerate(recs):
            if i not in gone and j != i and j not in gone and inner.phrase != outer.phrase:
                if inner.phrase in outer.phrase and len(inner.starts) <= len(outer.starts):
                    gone.add(j)
    return [r for k, r in enumerate(recs) if k not in gone]


def merge_phrases(t, recs):
    recs = sorted(recs, key=lambda r: (-len(r.starts), r.starts[0]))
    out = recs[:1]
    for cur in recs[1:]:
        prev = out[-1]
        gaps = [(s - e) % 2**64 for s, e in zip(cur.starts, prev.ends)]
        if len(prev.starts) == len(cur.starts) and max(gaps) < 3:
            cut = cur.ends[0]
            if cut < len(t) and t[cut] & 0xC0 == 0x80:
                raise Undetermined("a merge cut inside a character")
            phrase = t[prev.starts[0] : cut].decode().strip(WHITE_SPACE)
            out[-1] = Rec(phrase, prev.starts, cur.ends)
        else:
            out.append(cur)
    return out


def covered_by(intervals, start, end):
    """Whether the last of the sorted intervals that starts at or before `start` reaches `end`."""
    i = bisect_right(intervals, (start, float("inf"))) - 1
    return i >= 0 and end <= intervals[i][1]


def detect_blocks(t, sa, lcp, recs, min_chars, max_words):
    n, min_block, cap = len(t), max(min_chars, 4 * max_words), 100 * max_words
    boundary = lambda i: i >= n or t[i] & 0xC0 != 0x80  # noqa: E731
    found = {}
    for r, s, top in lcp_runs(lcp, min_block) if n >= 2 * min_block and n >= 2 else ():
        size, places, block = min(cap, top), set(), None
        for a, b, k in zip(sa[r - 1 : s - 1], sa[r:s], range(r, s)):
            if lcp[k] != size or not boundary(a) or not boundary(b):
                continue
            end = min(a + size, n)
            while not boundary(end):
                end -= 1
            if end - a >= min_block and b + end - a <= n:
                places |= {a, b}
                block = t[a:end] if block is None else block
        if block is not None and len(places) >= 2:
            found.setdefault(block, []).extend(sorted(places))
    covered, blocks = [], []
    for block, places in sorted(found.items(), key=lambda e: -len(e[0])):
        places = sorted(set(places))
        if not all(covered_by(covered, p, p + len(block)) for p in places):
            for p in places:
                insort(covered, (p, p + len(block)))
            blocks.append(Rec(block.decode(), places, [p + len(block) for p in places]))
    spans = sorted((s, e) for b in blocks for s, e in zip(b.starts, b.ends))
    recs = [r for r in recs if not all(covered_by(spans, *o) for o in zip(r.starts, r.ends))]
    return recs, blocks


def utf16_table(source):
    """The UTF-16 offset of each byte offset of the source (inside a character: its end)."""
    table, units = [], 0
    for ch in source:
        table.append(units)
        units += 2 if ord(ch) > 0xFFFF else 1
        table += [units] * (len(ch.encode()) - 1)
    return table + [units]


def to_source(removed, x):
    """An analysis offset as a source offset: past every range removed at or before it."""
    for s, e in sorted(removed):
        if s > x:
            break
        x += e - s
    return x


def oracle(analysis, source=None, removed=(), blocks=False, **params):
    """The expected result, as (record, is_block) pairs."""
    params = dict(DEFAULTS, **params)
    min_chars, max_words = params["min_chars"], params["max_words"]
    t = analysis.encode()
    sa = brute_suffix_array(t)
    lcp = [0] * min(len(t), 1)
    lcp += [len(os.path.commonprefix([t[a:], t[b:]])) for a, b in zip(sa, sa[1:])]
    found = candidates(t, sa, lcp, params["min_words"], min_chars, max_words) if len(t) > 1 else {}
    found = {p: sorted(set(starts)) for p, starts in found.items()}
    recs = [Rec(p, s, [x + len(p.encode()) for x in s]) for p, s in found.items() if len(s) > 1]
    recs.sort(key=lambda r: -len(r.phrase.encode()))
    least = params["min_words_in_substring"]
    recs = eliminate_substrings([r for r in recs if count_words(r.phrase) >= least])
    recs = merge_phrases(t, recs) if recs else recs
    block_recs = []
    if blocks:
        recs, block_recs = detect_blocks(t, sa, lcp, recs, min_chars, max_words)
    table = utf16_table(analysis if source is None else source)
    at = lambda x: table[x] if x < len(table) else x  # noqa: E731
    results = []
    for rec, is_block in [(r, False) for r in recs] + [(b, True) for b in block_recs]:
        places = [(to_source(removed, s), to_source(removed, e)) for s, e in zip(*rec[1:])]
        occurrences = [{"start": at(s), "end": at(e)} for s, e in places]
        record = {"phrase": rec.phrase, "count": len(occurrences), "string_length": len(rec.phrase)}
        record.update(number_of_words=count_words(rec.phrase), occurrences=occurrences)
        results.append((record, is_block))
    return sorted(results, key=lambda item: -item[0]["string_length"])


def to_analysis(text, case_insensitive, collapse):
    t = text.encode()
    if case_insensitive:
        t = bytes(b | 0x20 if 0x41 <= b <= 0x5A else b for b in t)
    t, removed = collapse_ascii_whitespace(t) if collapse else (t, [])
    return t.decode(), removed


def assert_matches_oracle(actual, expected):
    """Phrase records must match in order; block records of equal length may come in any order."""
    assert [d["string_length"] for d in actual] == [d["string_length"] for d, _ in expected]
    canonical = lambda d: json.dumps(d, sort_keys=True, ensure_ascii=False)  # noqa: E731
    for _, run in groupby(range(len(expected)), key=lambda k: expected[k][0]["string_length"]):
        run = list(run)
        phrases = [expected[k][0] for k in run if not expected[k][1]]
        blocks = [expected[k][0] for k in run if expected[k][1]]
        i, j = run[0], run[-1] + 1
        assert actual[i : i + len(phrases)] == phrases
        got = actual[i + len(phrases) : j]
        assert sorted(map(canonical, got)) == sorted(map(canonical, blocks))


# --- random texts ----------------------------------------------------------------------------

SIMPLE_VOCAB = "alpha beta gamma eta zeta theta delta be at ab a b2 x9".split()
RICH_VOCAB = SIMPLE_VOCAB + ["Alpha", "BETA", "Gamma", "\u00e9t\u00e9", "na\u00efve", "\U0001d49cx"]
RICH_VOCAB += ["y\U0001f600", "\u00c4bc", "\u65e5\u672c", "don't", "e-mail", "q\u00a0r"]
RICH_VOCAB += ["\u03a3\u03c3"]
RICH_SEPARATORS = [" "] * 12 + ["  ", "\t", "\n", " \n", ", ", " - ", "\u3000", "\r\n", ";"]
MERGE_GAPS = ["\n", "\n", " \n", "\n\n", " \n\n", "\n \n", "  ", "   ", "\t", " ", "\u00a0"]


def random_words(rng, vocab, count):
    words = []
    while len(words) < count:
        if len(words) > 3 and rng.random() < 0.35:
            i = rng.randrange(len(words))
            words.extend(words[i : i + rng.randint(2, 14)])
        else:
            words.append(rng.choice(vocab))
    return words[:count]


def rich_text(rng, count):
    """Words with separators attached; repeated spans copy their separators too, except that now
    and then one separator of a copy is changed (a repeat that differs only in white space or
    that is cut by a line feed)."""
    units = []
    while len(units) < count:
        if len(units) > 3 and rng.random() < 0.4:
            i = rng.randrange(len(units))
            copy = units[i : i + rng.randint(2, 14)]
            if rng.random() < 0.5:
                k = rng.randrange(len(copy))
                copy[k] = (copy[k][0], rng.choice(RICH_SEPARATORS))
            units.extend(copy)
        else:
            units.append((rng.choice(RICH_VOCAB), rng.choice(RICH_SEPARATORS)))
    parts = [rng.choice(["", "", " ", "\n "])] + [x for unit in units[:count] for x in unit]
    parts[-1] = rng.choice(["", "", " ", " \n"])
    return "".join(parts)


def sentence_text(rng):
    """A short story of line-separated sentences told two or three times with assorted gaps
    between its sentences, sometimes cut short and mixed with stray sentences: neighbouring
    phrases whose occurrences are 1, 2, 3 or more bytes apart, with equal or different counts."""
    vocab = SIMPLE_VOCAB + ["\u00e9t\u00e9", "\U0001d49cx", "Gamma"]
    sentence = lambda: " ".join(rng.choice(vocab) for _ in range(rng.randint(3, 7)))  # noqa: E731
    story = [sentence() for _ in range(rng.randint(2, 5))]
    pieces = []
    for _ in range(rng.randint(2, 3)):
        lo = rng.choice([0, 0, 0, 1])
        for sentence in story[lo : len(story) - rng.choice([0, 0, 0, 1])]:
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


SENTENCE_CASES = [("sentences", p) for p in PARAMS[:3]]


def compare_with_oracle(rounds, make_case):
    """Checks `rounds` cases, make_case(trial) giving the oracle's arguments and the calls that
    must answer as it does; returns how many the oracle could decide (some are left open)."""
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
@pytest.mark.parametrize("texts,params", [("rich", p) for p in PARAMS] + SENTENCE_CASES)
def test_pipeline_matches_the_oracle(rng, texts, params):
    def case(_):
        text = rich_text(rng, rng.randint(4, 80)) if texts == "rich" else sentence_text(rng)
        return (text,), params, [lambda: fd(text, **params)]

    assert compare_with_oracle(50, case) >= 38


@pytest.mark.parametrize("vocab", [SIMPLE_VOCAB, RICH_VOCAB], ids=["ascii", "rich"])
@pytest.mark.parametrize("max_words", [4, 5, 6])
def test_block_detection_matches_oracle(rng, max_words, vocab):
    # Small max_words gives a block minimum of 4*max_words bytes and a cap of 100*max_words.
    # ASCII texts and texts with multi-byte characters check block ends in different ways.
    def case(_):
        words = random_words(rng, vocab, rng.randint(20, 140))
        i = rng.randrange(len(words))
        words += ["filler"] + words[i : i + rng.randint(10, 120)]  # long verbatim copies: blocks
        text, params = " ".join(words), dict(max_words=max_words, min_words=rng.choice([2, 4]))
        call = lambda: fd(text, **params, enable_block_detection=True)  # noqa: E731
        return (text,), dict(params, blocks=True), [call]

    assert compare_with_oracle(25, case) >= 20


@pytest.mark.parametrize("case_insensitive", [False, True])
@pytest.mark.parametrize("collapse", [False, True])
def test_normalized_matches_oracle_and_sanitized_call(rng, case_insensitive, collapse):
    def case(trial):
        text, params = rich_text(rng, rng.randint(4, 70)), PARAMS[trial % 3]
        analysis, removed = to_analysis(text, case_insensitive, collapse)
        normalized = lambda: fdn(text, case_insensitive, collapse, **params)  # noqa: E731
        # the same analysis handed over as a sanitised copy with its removed ranges
        sanitized = lambda: fd(text, analysis, removed, **params)  # noqa: E731
        return (analysis, text, removed), params, [normalized, sanitized]

    assert compare_with_oracle(30, case) >= 24


# --- what the binding adds -------------------------------------------------------------------
@pytest.mark.parametrize("gc_enabled", [True, False])
def test_result_shape_and_the_collector_s_state(gc_enabled):
    (gc.enable if gc_enabled else gc.disable)()
    try:
        result = fd(BASE)
        assert gc.isenabled() is gc_enabled
    finally:
        gc.enable()
    assert result == BASE_RESULT
    assert list(result[0]) == ["phrase", "count", "string_length", "number_of_words", "occurrences"]
    assert [list(o) for o in result[0]["occurrences"]] == [["start", "end"]] * 2
    assert [type(v) for v in result[0].values()] == [str, int, int, int, list]
    for text in ("", "a", "x" * 40, "no repeats in this short line at all"):  # an empty list
        assert fd(text) == fdn(text) == fd(text, enable_block_detection=True) == []
        assert fdn(text, enable_block_detection=True) == []


def test_none_defaults_and_positional_forms_agree(rng):
    text = "alpha beta gamma delta epsilon zeta, and alpha beta gamma delta epsilon zeta " * 3
    explicit = fd(text, None, None, 4, 9, 50, 2, False)
    assert fd(text) == explicit == fd(text, None, None, None, None, None, None, None)
    assert fd(text, removed_ranges=[]) == explicit
    assert fdn(text, False, False, None, None, None, None, None) == explicit
    assert fdn(text, False, False, 4, 9, 50, 2, False) == explicit
    text = " ".join(random_words(rng, SIMPLE_VOCAB, 120))
    named = dict(enable_block_detection=True, min_words_in_substring=3, max_words=7, min_chars=6)
    assert fd(text, None, None, 3, 6, 7, 3, True) == fd(text, **named, min_words=3)
    assert fdn(text, True, False, 5) == fdn(text, min_words=5, case_insensitive=True)


# a Sequence by registration, without the sequence protocol
RegisteredOnly = Sequence.register(
    type("RegisteredOnly", (), {"__iter__": lambda self: iter([(1, 2)])})
)


class Items:
    """A sequence whose items fail from index 1 on (`exc`), or whose length fails (None)."""

    def __init__(self, exc=None):
        self.exc = exc

    def __len__(self):
        if self.exc is None:
            raise RuntimeError("no length")
        return 3

    def __getitem__(self, i):
        if i == 0:
            return (11, 12)
        raise self.exc or IndexError(i)


NOT = "object is not an instance of"
INT = "object cannot be interpreted as an integer"


# Missing, extra, unknown and repeated arguments: test_frame.py.
@pytest.mark.parametrize("call,error,message", [
    (lambda: fd(None), TypeError, f"argument 'text': 'NoneType' {NOT} 'str'"),
    (lambda: fd("a", b"a"), TypeError, f"argument 'sanitized_text': 'bytes' {NOT} 'str'"),
    (lambda: fdn("a", None), TypeError, "argument 'case_insensitive': 'None' is not an instance of 'bool'"),
    (lambda: fdn("a", False, 0), TypeError, f"argument 'collapse_whitespace': 'int' {NOT} 'bool'"),
    (lambda: fd("a", enable_block_detection=1), TypeError, f"argument 'enable_block_detection': 'int' {NOT} 'bool'"),
    (lambda: fd("a", min_words="4"), TypeError, f"argument 'min_words': 'str' {INT}"),
    (lambda: fd("a", removed_ranges="ab"), TypeError, "argument 'removed_ranges': Can't extract `str` to `Vec`"),
    (lambda: fd("a", removed_ranges=5), TypeError, f"argument 'removed_ranges': 'int' {NOT} 'Sequence'"),
    (lambda: fd("a", removed_ranges=iter([(1, 2)])), TypeError, f"argument 'removed_ranges': 'list_iterator' {NOT} 'Sequence'"),
    (lambda: fd("a", removed_ranges=RegisteredOnly()), TypeError, f"argument 'removed_ranges': 'RegisteredOnly' {NOT} 'Sequence'"),
    (lambda: fd("a", removed_ranges=[[1, 2]]), TypeError, f"argument 'removed_ranges': 'list' {NOT} 'tuple'"),
    (lambda: fd("a", removed_ranges=[(1, 2, 3)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda: fd("a", removed_ranges=[(1, "2")]), TypeError, f"argument 'removed_ranges': 'str' {INT}"),
    (lambda: fd("a", removed_ranges=Items(RuntimeError("boom"))), RuntimeError, "boom"),
    (lambda: fd("a", removed_ranges=Items(TypeError("bad item"))), TypeError, "argument 'removed_ranges': bad item"),
    # the first failing argument in parameter order is the one reported
    (lambda: fd(5, removed_ranges="x"), TypeError, f"argument 'text': 'int' {NOT} 'str'"),
    (lambda: fd("a", removed_ranges="x", min_words="y"), TypeError, "argument 'removed_ranges': Can't extract `str` to `Vec`"),
    (lambda: fdn("a", None, 1), TypeError, "argument 'case_insensitive': 'None' is not an instance of 'bool'"),
])  # fmt: skip
def test_argument_errors(call, error, message):
    assert error_of(call) == (error, message)


Span, Pair = namedtuple("Span", "start end"), type("Pair", (tuple,), {})
DOUBLE_SPACED = BASE.replace("beta ", "beta  ", 1)  # the sanitised copy is BASE: one byte less
SANITIZED = [dict(BASE_RESULT[0], occurrences=[{"start": 0, "end": 23}, {"start": 28, "end": 50}])]
REMOVED = [[(11, 12)], ((11, 12),), [Pair((11, 12))], (Pair((np.uint64(11), 12)),), Items(), [Span(11, 12)]]  # fmt: skip


@pytest.mark.parametrize(
    "args,expected",
    [((DOUBLE_SPACED, BASE, r), SANITIZED) for r in REMOVED]
    + [((BASE, None, empty), BASE_RESULT) for empty in ([], (), range(0), None, b"")],
    ids="list tuple tuple-subclass numpy-elements failing-length namedtuple empty-list "
    "empty-tuple empty-range none empty-bytes".split(),
)
def test_removed_ranges_accepted_forms(args, expected):
    assert fd(*args) == expected


# Saturation of the derived limits is the engine's (DerivedLimits, Blocks.SaturatedLimits in
# C++); here the largest values arrive through the binding unchanged.
@pytest.mark.parametrize("fn", [fd, lambda text, **kw: fdn(text, True, True, **kw)])
def test_largest_integer_parameters(fn):
    text = f"{REPEAT} and {REPEAT}; {BASE}"
    for kwargs in (dict(min_words=U64_MAX), dict(min_words_in_substring=U64_MAX)):
        assert fn(text, **kwargs) == []
    assert fn(text, min_chars=U64_MAX, enable_block_detection=True) == []
    expected = fn(text, max_words=10**6)
    assert expected[0]["phrase"] == REPEAT
    for max_words in (2**32, 2**63, U64_MAX):  # not cut to 32 bits, nor read as signed
        assert fn(text, max_words=max_words) == expected
