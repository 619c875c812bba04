#!/usr/bin/env python3
"""Fuzzes every entry point of quarnel._native with arguments mostly of the expected kind and
sometimes of any other type (lone surrogates, huge and negative integers, objects with __index__,
garbage removed_ranges, wrong keywords, too many arguments): a call may succeed or raise the
documented argument errors, any other exception, a crash or a hang is a finding, and plain calls
on small inputs must give brute-force answers. find_phrases and find_passages get documents of
every kind; their occurrences must lie inside them. Saved indexes damaged at random must be
refused with ValueError, intact ones must answer as the original did.

    python tests/fuzz/fuzz_entry_points.py [libFuzzer flags] [corpus dirs]
"""

import inspect
import pathlib
import sys
import tempfile

import atheris
import numpy as np

with atheris.instrument_imports():
    from quarnel import SuffixArray, find_passages, find_phrases
    from quarnel import _native as q

# What a call may raise for arguments it refuses (MemoryError for absurd sizes); RuntimeError,
# LookupError and Refused come from the harness's own __index__, sequence and iterator.
EXPECTED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, MemoryError)
MAX_LEN = 600
INTS = [0, 1, 2, 3, 4, 9, 50, 255, 2**31 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100]
INTS += [-1, -(2**63), -(2**64), -(2**100)]
BACKENDS = ["auto", "sais", "divsufsort", "libsais", "", "AUTO", "sais\0", "b\udc80"]
# dotted tokens, sentence ends, quotes and white space: the inputs the text code finds hard
WORDS = "the Dr. a. U.S. x.com é 今日".split() + [" ", "  ", "\n"]
WORDS += ". !? \u201c \u201d www. 3.5 e.g. \ud800".split() + ["\t", "\u2026"]


def raising(error, message):
    def method(self, *args):
        raise error(message)

    return method


class Index:  # an integer by __index__
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# the harness's own refusals, which pass through a call unchanged
Refused = type("Refused", (Exception,), {})
BadIndex = type("BadIndex", (), {"__index__": raising(RuntimeError, "refused by __index__")})
# a sequence whose items cannot be read, and a list that refuses to be iterated
BadSequence = type(
    "BadSequence", (), {"__len__": lambda self: 3, "__getitem__": raising(LookupError, "item")}
)
RaisingIter = type("RaisingIter", (list,), {"__iter__": raising(Refused, "iteration refused")})


class Gen:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def number(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def pick(self, seq):
        return seq[self.number(0, len(seq) - 1)]

    def chance(self, percent):
        return self.number(0, 99) < percent

    def raw_bytes(self):
        b = self.fdp.ConsumeBytes(self.number(0, MAX_LEN))
        if self.chance(30):  # dotted tokens, repeats: the inputs the text code finds hard
            b = (b[:8] or b".") * self.number(1, 60)
        return b

    def text(self):
        consume = [self.fdp.ConsumeUnicode, self.fdp.ConsumeUnicodeNoSurrogates]
        kind = self.number(0, 3)  # the first may hold lone surrogates
        if kind < 2:
            return consume[kind](self.number(0, MAX_LEN))
        return "".join(self.pick(WORDS) for _ in range(self.number(0, 120)))

    def integer(self):
        return self.pick(INTS) if self.chance(50) else self.number(-(2**70), 2**70)

    def other(self):
        """A value of any type."""
        choices = [lambda: None, lambda: True, lambda: 1.5, self.integer]
        choices += [lambda: Index(self.integer()), BadIndex, lambda: np.bool_(self.chance(50))]
        choices += [lambda: np.uint64(self.number(0, 2**64 - 1)), self.raw_bytes]
        choices += [lambda: bytearray(self.raw_bytes()), lambda: memoryview(self.raw_bytes())]
        choices += [self.text, lambda: [self.integer(), self.integer()], lambda: (1, 2), object]
        choices += [BadSequence, lambda: {"a": 1}, lambda: range(3)]
        return self.pick(choices)()

    def ranges(self):
        if self.chance(15):
            return self.other()
        end = lambda: self.integer() if self.chance(20) else self.number(0, 700)  # noqa: E731
        odd = [lambda: [1, 2], lambda: (1, 2, 3), lambda: (Index(self.integer()), 1), self.other]
        items = []
        for _ in range(self.number(0, 8)):
            r = self.number(0, 9)
            items.append((end(), end()) if r < 6 else odd[r - 6]())
        return [list, tuple, RaisingIter, iter][self.number(0, 3)](items)

    def value(self, kind):
        if self.chance(8):
            return self.other()
        return {
            "bytes": self.raw_bytes,
            "text": self.text,
            "backend": lambda: self.pick(BACKENDS + [None]),
            "index": lambda: self.pick([None, self.number(0, 60), self.integer()]),
            "level": lambda: self.number(0, 70) if self.chance(80) else self.integer(),
            "flag": lambda: self.pick([True, False, None, np.bool_(True)]),
            "ranges": lambda: self.pick([None, self.ranges()]),
        }[kind]()


# The kind of value each parameter takes; an entry point's parameters are the runtime's own.
LIMITS = ["min_words", "min_chars", "max_words", "min_words_in_substring"]
FLAGS = ["case_insensitive", "collapse_whitespace", "enable_block_detection"]
FLAGS += ["normalize_whitespace", "blocks", "ignore_case"]
KINDS = dict.fromkeys(["data", "pattern", "bwt_data"], "bytes")
KINDS |= dict.fromkeys(["text", "text1", "text2", "sanitized_text"], "text")
KINDS |= dict.fromkeys([*LIMITS, "primary_index"], "index")
KINDS |= dict.fromkeys(FLAGS, "flag")
KINDS |= dict(backend="backend", removed_ranges="ranges", locate_level="level")


def params(fn, names=None):
    names = names or [p for p in inspect.signature(fn).parameters if p != "self"]
    return [(name, KINDS[name]) for name in names]


SIGNATURES = {name: params(getattr(q, name)) for name in q.__all__}  # every entry point
METHODS = {name: params(getattr(q.FMIndex, name)) for name in ("count", "locate", "heap_size")}
CORPUS = {
    find_phrases: params(None, [*LIMITS, "blocks", "ignore_case", "collapse_whitespace"]),
    find_passages: params(None, ["min_words", "min_chars", "ignore_case", "collapse_whitespace"]),
}


def arguments(gen, params):
    """Positional and keyword arguments: a prefix of the parameters, some passed by name."""
    used = params[: gen.number(0, len(params))]
    if len(used) < len(params) and gen.chance(5):
        used = used + [params[len(used)]]
    by_name = gen.number(0, len(used))
    values = [(name, gen.value(kind)) for name, kind in used]
    args, kwargs = [v for _, v in values[:by_name]], dict(values[by_name:])
    if gen.chance(3):
        args.append(gen.other())  # too many, or a value given twice
    if gen.chance(3):
        kwargs[gen.pick(["text", "data", "bogus", "pattern"])] = gen.other()
    return args, kwargs


def brute_count(data, pattern):
    return sum(data.startswith(pattern, i) for i in range(len(data) - len(pattern) + 1))


def check(name, args, kwargs, result):
    """Brute-force answers for plain calls on small inputs."""
    if name == "find_duplicates" and len(args) == 1 and not kwargs:
        units = len(args[0].encode("utf-16-le", "surrogatepass")) // 2
        for phrase in result:
            assert phrase["count"] == len(phrase["occurrences"]) >= 2
            assert all(0 <= o["start"] < o["end"] <= units for o in phrase["occurrences"])
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


def call(target, args, kwargs):
    try:
        return target(*args, **kwargs)
    except EXPECTED + (Refused, RuntimeError, LookupError):
        return None


def fuzz_corpus(gen):
    """Documents analysed together: any documents, keywords of any type, removed ranges."""
    fn = gen.pick(sorted(CORPUS, key=lambda f: f.__name__))
    docs = [gen.text() if gen.chance(95) else gen.other() for _ in range(gen.number(0, 5))]
    named = [(f"d{k}", d) for k, d in enumerate(docs)]
    documents = [docs, dict(named), named, docs[0] if docs else ""][gen.number(0, 3)]
    kwargs = {name: gen.value(kind) for name, kind in CORPUS[fn] if gen.chance(40)}
    if gen.chance(20):
        kwargs["removed"] = [gen.ranges() for _ in docs] if gen.chance(80) else gen.other()
    texts = [documents] if isinstance(documents, str) else docs
    for group in call(fn, [documents], kwargs) or ():
        assert group.count == len(group.occurrences) >= 2
        for o in group.occurrences:
            assert 0 <= o.start < o.end <= len(texts[o.document])
            if fn is find_passages and not kwargs:
                assert texts[o.document][o.start : o.end] == group.text


def test_one_input(data):
    gen = Gen(data)
    if gen.chance(10):
        return fuzz_saved_form(gen)
    if gen.chance(10):
        return fuzz_corpus(gen)
    name = gen.pick(sorted(SIGNATURES))
    args, kwargs = arguments(gen, SIGNATURES[name])
    result = call(getattr(q, name), args, kwargs)
    if result is None:
        return
    if name != "FMIndex":
        return check(name, args, kwargs, result)
    assert len(result) >= 0 and result.heap_size() > 0
    method = gen.pick(sorted(METHODS))
    margs, mkwargs = arguments(gen, METHODS[method])
    got = call(getattr(result, method), margs, mkwargs)
    plain = len(args) == 1 and not kwargs and len(margs) == 1 and type(margs[0]) is bytes
    # (a 0x00 in the pattern matches the index's sentinel, across the text's end)
    if method == "count" and got is not None and plain and margs[0] and 0 not in margs[0]:
        assert got == brute_count(args[0], margs[0])


def damaged(gen, blob):
    """The blob truncated, with bits flipped, or with a stretch overwritten (or left intact)."""
    blob = bytearray(blob)
    for _ in range(gen.number(0, 3)):
        how = gen.number(0, 2)
        if how == 0:
            del blob[gen.number(0, len(blob)) :]
        elif how == 1 and blob:
            blob[gen.number(0, len(blob) - 1)] ^= 1 << gen.number(0, 7)
        elif blob:
            k = gen.number(0, len(blob) - 1)
            patch = gen.fdp.ConsumeBytes(gen.number(1, 16))
            blob[k : k + len(patch)] = patch
    return bytes(blob)


def through_file(blob, use):
    """use(path) of a file holding `blob`; with blob None, the bytes use(path) writes there."""
    with tempfile.TemporaryDirectory(prefix="quarnel-fuzz-") as folder:
        path = pathlib.Path(folder, "index")
        if blob is None:
            use(path)
            return path.read_bytes()
        path.write_bytes(blob)
        return use(path)


def fuzz_saved_form(gen):
    """Save an index, damage its saved form, load it back."""
    data = gen.raw_bytes().replace(b"\0", b"") or b"a"
    probe = data[: gen.number(1, 4)]
    against = data
    if gen.chance(50):
        index = q.FMIndex(data, gen.number(0, 6))
        blob = index.to_bytes()
        from_file = lambda b: through_file(b, q.FMIndex.load)  # noqa: E731
        load = q.FMIndex.from_bytes if gen.chance(50) else from_file
    else:
        index = SuffixArray(data)
        blob = through_file(None, index.save)
        against = data if gen.chance(80) else damaged(gen, data) or b"b"
        load = lambda b: through_file(b, lambda p: SuffixArray.load(p, against))  # noqa: E731
    changed = damaged(gen, blob)
    intact = changed == blob and against == data
    try:
        loaded = load(changed)
    except ValueError:
        assert not intact, "an intact saved index was refused"
        return
    assert intact, "a damaged saved index was loaded"
    assert loaded.count(probe) == index.count(probe) == brute_count(data, probe)


def main():
    # Coverage of the harness's own branches guides the search (the native code is a black box
    # to it): which types, kinds and outcomes an input reached.
    scope = globals()
    for name, obj in list(scope.items()):
        if inspect.isfunction(obj) and obj.__module__ == __name__ and name != "main":
            scope[name] = atheris.instrument_func(obj)
        elif inspect.isclass(obj) and obj.__module__ == __name__:
            for attr, member in list(vars(obj).items()):
                if inspect.isfunction(member):
                    setattr(obj, attr, atheris.instrument_func(member))
    atheris.Setup(sys.argv, scope["test_one_input"])
    atheris.Fuzz()


if __name__ == "__main__":
    main()
