#!/usr/bin/env python3
"""Fuzzes every entry point of quarnel._native with arbitrary argument types and values.

Each input picks an entry point and builds its arguments: mostly of the expected kind, sometimes
of any other type (lone surrogates, huge and negative integers, objects with __index__, garbage
removed_ranges, a sanitized_text unrelated to the text, wrong keywords, too many arguments). A
call may succeed or raise the documented argument errors; any other exception, a crash or a hang
is a finding. Successful calls on small inputs are checked against brute-force answers. The corpus
functions (find_phrases, find_passages) get documents of every kind, keyword values of any type
and removed ranges, and their occurrences must lie inside their documents. Saved indexes (an
FMIndex's bytes and files, a SuffixArray's files) are damaged at random and loaded back: a
changed file must be refused with ValueError, an intact one must answer as the original did.

    python tests/fuzz/fuzz_entry_points.py [libFuzzer flags] [corpus dirs]
"""

import inspect
import os
import sys
import tempfile

import atheris

import numpy as np

with atheris.instrument_imports():
    from quarnel import _native as q
    from quarnel import SuffixArray, find_passages, find_phrases

# What a call may raise for arguments it refuses (MemoryError for absurd sizes).
EXPECTED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, MemoryError)
MAX_LEN = 600


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise RuntimeError("refused by __index__")


class BadSequence:
    """A sequence whose items cannot be read."""

    def __len__(self):
        return 3

    def __getitem__(self, k):
        raise LookupError(k)


class Refused(Exception):
    """Raised by the harness's own objects; passes through a call unchanged."""


class RaisingIter(list):
    def __iter__(self):
        raise Refused("iteration refused")


INTS = [0, 1, 2, 3, 4, 9, 50, 255, 2**31 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64,
        2**100, -1, -(2**63), -(2**64), -(2**100)]
BACKENDS = ["auto", "sais", "divsufsort", "libsais", "", "AUTO", "sais\0", "b\udc80"]


class Gen:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def chance(self, percent):
        return self.fdp.ConsumeIntInRange(0, 99) < percent

    def length(self):
        return self.fdp.ConsumeIntInRange(0, MAX_LEN)

    def raw_bytes(self):
        b = self.fdp.ConsumeBytes(self.length())
        if self.chance(30):  # dotted tokens, repeats: the inputs the text code finds hard
            b = (b[:8] or b".") * self.fdp.ConsumeIntInRange(1, 60)
        return b

    def text(self):
        kind = self.fdp.ConsumeIntInRange(0, 3)
        if kind == 0:
            return self.fdp.ConsumeUnicode(self.length())  # may hold lone surrogates
        if kind == 1:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.length())
        words = ["the", "Dr.", "a.", "U.S.", "x.com", "é", "今日", " ", "  ", "\n", ".", "!?",
                 "\u201c", "\u201d", "www.", "3.5", "e.g.", "\ud800", "\t", "\u2026"]
        return "".join(self.pick(words) for _ in range(self.fdp.ConsumeIntInRange(0, 120)))

    def integer(self):
        if self.chance(50):
            return self.pick(INTS)
        return self.fdp.ConsumeIntInRange(-(2**70), 2**70)

    def other(self):
        """A value of any type."""
        choices = [
            lambda: None, lambda: True, lambda: 1.5, lambda: self.integer(),
            lambda: Index(self.integer()), lambda: BadIndex(), lambda: np.bool_(self.chance(50)),
            lambda: np.uint64(self.fdp.ConsumeIntInRange(0, 2**64 - 1)),
            lambda: self.raw_bytes(), lambda: bytearray(self.raw_bytes()),
            lambda: memoryview(self.raw_bytes()), lambda: self.text(),
            lambda: [self.integer(), self.integer()], lambda: (1, 2), lambda: object(),
            lambda: BadSequence(), lambda: {"a": 1}, lambda: range(3),
        ]
        return self.pick(choices)()

    def ranges(self):
        if self.chance(15):
            return self.other()
        pair = lambda: (self.integer() if self.chance(20) else self.fdp.ConsumeIntInRange(0, 700),
                        self.integer() if self.chance(20) else self.fdp.ConsumeIntInRange(0, 700))
        items = []
        for _ in range(self.fdp.ConsumeIntInRange(0, 8)):
            r = self.fdp.ConsumeIntInRange(0, 9)
            items.append(pair() if r < 6 else [1, 2] if r == 6 else (1, 2, 3) if r == 7 else
                         (Index(self.integer()), 1) if r == 8 else self.other())
        container = self.fdp.ConsumeIntInRange(0, 3)
        return (items if container == 0 else tuple(items) if container == 1 else
                RaisingIter(items) if container == 2 else iter(items))

    def value(self, kind):
        if self.chance(8):
            return self.other()
        if kind == "bytes":
            return self.raw_bytes()
        if kind == "text":
            return self.text()
        if kind == "backend":
            return self.pick(BACKENDS + [None])
        if kind == "index":
            return self.pick([None, self.fdp.ConsumeIntInRange(0, 60), self.integer()])
        if kind == "level":
            return self.fdp.ConsumeIntInRange(0, 70) if self.chance(80) else self.integer()
        if kind == "flag":
            return self.pick([True, False, None, np.bool_(True)])
        if kind == "ranges":
            return self.pick([None, self.ranges()])
        raise AssertionError(kind)


FINDER = [("min_words", "index"), ("min_chars", "index"), ("max_words", "index"),
          ("min_words_in_substring", "index"), ("enable_block_detection", "flag")]

SIGNATURES = {
    "suffix_array_fn": [("data", "bytes"), ("backend", "backend")],
    "lcp_array": [("data", "bytes")],
    "count": [("data", "bytes"), ("pattern", "bytes")],
    "locate": [("data", "bytes"), ("pattern", "bytes")],
    "search_range": [("data", "bytes"), ("pattern", "bytes")],
    "find_duplicates": [("text", "text"), ("sanitized_text", "text"),
                        ("removed_ranges", "ranges")] + FINDER,
    "find_duplicates_normalized": [("text", "text"), ("case_insensitive", "flag"),
                                   ("collapse_whitespace", "flag")] + FINDER,
    "bwt": [("data", "bytes")],
    "inverse_bwt_fn": [("bwt_data", "bytes"), ("primary_index", "index")],
    "longest_common_substring": [("text1", "text"), ("text2", "text")],
    "distinct_substring_count": [("text", "text")],
    "inverse_suffix_array": [("data", "bytes")],
    "sa_to_bytes": [("data", "bytes")],
    "sa_from_bytes": [("data", "bytes")],
    "FMIndex": [("data", "bytes"), ("locate_level", "level"), ("case_insensitive", "flag"),
                ("normalize_whitespace", "flag")],
}
METHODS = {"count": [("pattern", "bytes")], "locate": [("pattern", "bytes")], "heap_size": []}


def arguments(gen, params):
    """Positional and keyword arguments: a prefix of the parameters, some passed by name."""
    used = params[: gen.fdp.ConsumeIntInRange(0, len(params))]
    if len(used) < len(params) and gen.chance(5):
        used = used + [params[len(used)]]
    args, kwargs = [], {}
    by_name = gen.fdp.ConsumeIntInRange(0, len(used))
    for k, (name, kind) in enumerate(used):
        value = gen.value(kind)
        if k >= by_name:
            kwargs[name] = value
        else:
            args.append(value)
    if gen.chance(3):
        args.append(gen.other())  # too many, or a value given twice
    if gen.chance(3):
        kwargs[gen.pick(["text", "data", "bogus", "pattern"])] = gen.other()
    return args, kwargs


def brute_count(data, pattern):
    return sum(data.startswith(pattern, i) for i in range(len(data) - len(pattern) + 1))


def check(name, args, kwargs, result):
    """Brute-force answers for plain calls on small byte inputs."""
    if kwargs or not args or type(args[0]) is not bytes or len(args[0]) > 200:
        return
    data = args[0]
    if name == "suffix_array_fn" and len(args) == 1:
        assert result.tolist() == sorted(range(len(data)), key=lambda i: data[i:])
    elif name == "count" and len(args) == 2 and type(args[1]) is bytes and args[1]:
        assert result == brute_count(data, args[1])
    elif name == "bwt" and len(args) == 1:
        assert q.inverse_bwt_fn(*result) == data
    elif name == "sa_to_bytes" and len(args) == 1:
        assert q.sa_from_bytes(result).tolist() == q.suffix_array_fn(data).tolist()


def check_duplicates(text, result):
    units = len(text.encode("utf-16-le", "surrogatepass")) // 2
    for phrase in result:
        assert phrase["count"] == len(phrase["occurrences"]) >= 2
        for occurrence in phrase["occurrences"]:
            assert 0 <= occurrence["start"] < occurrence["end"] <= units


def call(name, target, args, kwargs):
    try:
        result = target(*args, **kwargs)
    except EXPECTED + (Refused, RuntimeError, LookupError):
        # RuntimeError and LookupError come from the harness's own __index__ and sequence.
        return None
    return result


CORPUS = {
    find_phrases: [("min_words", "index"), ("min_chars", "index"), ("max_words", "index"),
                   ("min_words_in_substring", "index"), ("blocks", "flag"),
                   ("ignore_case", "flag"), ("collapse_whitespace", "flag")],
    find_passages: [("min_words", "index"), ("min_chars", "index"), ("ignore_case", "flag"),
                    ("collapse_whitespace", "flag")],
}


def fuzz_corpus(gen):
    """Documents analysed together: any documents, keywords of any type, removed ranges."""
    fn = gen.pick(sorted(CORPUS, key=lambda f: f.__name__))
    docs = [gen.text() if gen.chance(95) else gen.other()
            for _ in range(gen.fdp.ConsumeIntInRange(0, 5))]
    form = gen.fdp.ConsumeIntInRange(0, 3)
    documents = (docs if form == 0 else {f"d{k}": d for k, d in enumerate(docs)} if form == 1
                 else [(f"d{k}", d) for k, d in enumerate(docs)] if form == 2
                 else (docs[0] if docs else ""))
    kwargs = {name: gen.value(kind) for name, kind in CORPUS[fn] if gen.chance(40)}
    if gen.chance(20):
        kwargs["removed"] = [gen.ranges() for _ in docs] if gen.chance(80) else gen.other()
    result = call(fn.__name__, fn, [documents], kwargs)
    if result is None:
        return
    texts = [documents] if isinstance(documents, str) else docs
    for group in result:
        assert group.count == len(group.occurrences) >= 2
        for o in group.occurrences:
            assert 0 <= o.start < o.end <= len(texts[o.document])
            if fn is find_passages and not kwargs:
                assert texts[o.document][o.start:o.end] == group.text


def test_one_input(data):
    gen = Gen(data)
    if gen.chance(10):
        fuzz_saved_form(gen)
        return
    if gen.chance(10):
        fuzz_corpus(gen)
        return
    name = gen.pick(sorted(SIGNATURES))
    args, kwargs = arguments(gen, SIGNATURES[name])
    result = call(name, getattr(q, name), args, kwargs)
    if result is None:
        return
    if name == "find_duplicates" and len(args) == 1 and not kwargs:
        check_duplicates(args[0], result)
    elif name == "FMIndex":
        assert len(result) >= 0 and result.heap_size() > 0
        method = gen.pick(sorted(METHODS))
        margs, mkwargs = arguments(gen, METHODS[method])
        got = call(method, getattr(result, method), margs, mkwargs)
        if (method == "count" and got is not None and len(args) == 1 and not kwargs and
                len(margs) == 1 and type(margs[0]) is bytes and margs[0] and 0 not in margs[0]):
            # (a 0x00 in the pattern matches the index's sentinel, across the text's end)
            assert got == brute_count(args[0], margs[0])
    else:
        check(name, args, kwargs, result)


def damaged(gen, blob):
    """The blob truncated, with bits flipped, or with a stretch overwritten (or left intact)."""
    blob = bytearray(blob)
    for _ in range(gen.fdp.ConsumeIntInRange(0, 3)):
        how = gen.fdp.ConsumeIntInRange(0, 2)
        if how == 0:
            del blob[gen.fdp.ConsumeIntInRange(0, len(blob)):]
        elif how == 1 and blob:
            k = gen.fdp.ConsumeIntInRange(0, len(blob) - 1)
            blob[k] ^= 1 << gen.fdp.ConsumeIntInRange(0, 7)
        elif blob:
            k = gen.fdp.ConsumeIntInRange(0, len(blob) - 1)
            patch = gen.fdp.ConsumeBytes(gen.fdp.ConsumeIntInRange(1, 16))
            blob[k:k + len(patch)] = patch
    return bytes(blob)


def load_from_file(blob, load):
    fd, path = tempfile.mkstemp(prefix="quarnel-fuzz-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(blob)
        return load(path)
    finally:
        os.unlink(path)


def fuzz_saved_form(gen):
    """Save an index, damage its saved form, load it back."""
    data = gen.raw_bytes().replace(b"\0", b"") or b"a"
    probe = data[: gen.fdp.ConsumeIntInRange(1, 4)]
    if gen.chance(50):
        index = q.FMIndex(data, gen.fdp.ConsumeIntInRange(0, 6))
        blob = index.to_bytes()
        load = (q.FMIndex.from_bytes if gen.chance(50) else
                lambda b: load_from_file(b, q.FMIndex.load))
    else:
        index = SuffixArray(data)
        fd, path = tempfile.mkstemp(prefix="quarnel-fuzz-")
        os.close(fd)
        try:
            index.save(path)
            with open(path, "rb") as f:
                blob = f.read()
        finally:
            os.unlink(path)
        against = data if gen.chance(80) else damaged(gen, data) or b"b"
        load = lambda b: load_from_file(b, lambda p: SuffixArray.load(p, against))
    changed = damaged(gen, blob)
    intact = changed == blob and (not isinstance(index, SuffixArray) or against == data)
    try:
        loaded = load(changed)
    except ValueError:
        assert not intact, "an intact saved index was refused"
        return
    assert intact, "a damaged saved index was loaded"
    assert loaded.count(probe) == index.count(probe) == brute_count(data, probe)


def instrument_harness():
    """Coverage of the harness's own branches guides the search (the native code is a black
    box to it): which types, kinds and outcomes an input reached."""
    scope = globals()
    for name, obj in list(scope.items()):
        if inspect.isfunction(obj) and obj.__module__ == __name__ and name != "main":
            scope[name] = atheris.instrument_func(obj)
        elif inspect.isclass(obj) and obj.__module__ == __name__:
            for attr, member in list(vars(obj).items()):
                if inspect.isfunction(member):
                    setattr(obj, attr, atheris.instrument_func(member))


def main():
    instrument_harness()
    atheris.Setup(sys.argv, globals()["test_one_input"])
    atheris.Fuzz()


if __name__ == "__main__":
    main()
