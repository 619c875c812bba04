"""Times every entry point on inputs built to be worst cases, at n and 4n bytes.

Runs of one byte, Fibonacci and Thue-Morse words, a long dotted token, one word repeated,
one-word sentences and a line as long as the text are each timed at n and at 4n, and the growth
ratio t(4n) / t(n) is printed next to the same ratio on prose of the same sizes and next to the
growth of the result (its pickled size: the phrase finders' work grows with what they report).
Linear work gives about 4; every ratio should stay at most 5. FMIndex.locate is the known
exception: at the default sampling its walks have no fixed bound on highly repetitive text, and
it is reported rather than held to the bound. A call that refuses its input with ValueError
(a result past a documented size limit) is reported as refused.

The default n keeps every working set in the per-core cache at 4n as well, so that the ratios
show the algorithms' growth; at larger n (say --n 4194304) cache and TLB misses alone take
prose past 5 on the suffix-sorting entry points.

Each (entry point, input) pair runs in a fresh process with one thread (QUARNEL_NUM_THREADS=1,
so that no size crosses the two-thread threshold) under a CPU-time limit; best of three calls,
with the peak resident memory the call added at 4n. Times are the process's CPU time: on a
shared machine a call of milliseconds often runs in one time slice while one of a second is
preempted again and again, which would inflate wall-clock ratios.

    python bench/bench_adversarial.py [--n BYTES] [--limit SECONDS] [--only NAME]
"""

import argparse
import json
import os
import resource
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import datasets  # noqa: E402


def fibonacci(size):
    a, b = b"a", b"ab"
    while len(b) < size:
        a, b = b, b + a
    return b[:size]


def thue_morse(size):
    return bytes(b"ab"[bin(i).count("1") & 1] for i in range(size))


def line_of_prose(size):
    return datasets.english(size, seed=9).replace(b"\n", b" ")


INPUTS = {
    "prose": lambda n: datasets.english(n, seed=8),
    "one byte": lambda n: b"a" * n,
    "fibonacci": fibonacci,
    "thue-morse": thue_morse,
    "dotted token": lambda n: (b"a." * n)[:n],
    "one word": lambda n: (b"word " * n)[:n],
    "1-word sentences": lambda n: (b"Word. " * n)[:n],
    "one long line": line_of_prose,
}

# Each entry point as a callable over the input bytes (setup outside the timing).
SETUP = r"""
import numpy as np
import quarnel
from quarnel import _native as q

def prepare(name, data):
    text = data.decode("utf-8", "replace")
    pattern = data[len(data) // 2: len(data) // 2 + 8]
    if name == "suffix_array_fn":
        return lambda: q.suffix_array_fn(data)
    if name == "suffix_array_fn(sais)":
        return lambda: q.suffix_array_fn(data, "sais")
    if name in ("lcp_array", "bwt", "inverse_suffix_array", "sa_to_bytes"):
        fn = getattr(q, name)
        return lambda: fn(data)
    if name in ("count", "locate", "search_range"):
        fn = getattr(q, name)
        return lambda: fn(data, pattern)
    if name == "find_duplicates":
        return lambda: q.find_duplicates(text)
    if name == "find_duplicates(blocks)":
        return lambda: q.find_duplicates(text, enable_block_detection=True)
    if name == "find_duplicates_normalized":
        return lambda: q.find_duplicates_normalized(text, True, True)
    if name == "inverse_bwt_fn":
        last, primary = q.bwt(data)
        return lambda: q.inverse_bwt_fn(last, primary)
    if name == "sa_from_bytes":
        serialized = q.sa_to_bytes(data)
        return lambda: q.sa_from_bytes(serialized)
    if name == "longest_common_substring":
        half = len(text) // 2
        return lambda: q.longest_common_substring(text[:half], text[half:])
    if name == "distinct_substring_count":
        return lambda: q.distinct_substring_count(text)
    if name == "FMIndex":
        return lambda: q.FMIndex(data)
    if name in ("find_phrases", "find_passages"):
        # Documents of 16 KB, so the work across document ends is timed too.
        documents = [text[i:i + (16 << 10)] for i in range(0, len(text), 16 << 10)]
        fn = getattr(quarnel, name)
        return lambda: fn(documents)
    if name == "SuffixArray":
        return lambda: quarnel.SuffixArray(data)
    if name == "SuffixArray.locate":
        index = quarnel.SuffixArray(data)
        return lambda: index.locate(pattern)
    if name in ("FMIndex.count", "FMIndex.locate"):
        index = q.FMIndex(data)
        fn = index.count if name == "FMIndex.count" else index.locate
        return lambda: fn(pattern)
    raise SystemExit("unknown entry point " + name)
"""

ENTRY_POINTS = [
    "suffix_array_fn", "suffix_array_fn(sais)", "lcp_array", "count", "locate", "search_range",
    "find_duplicates", "find_duplicates(blocks)", "find_duplicates_normalized", "bwt",
    "inverse_bwt_fn", "longest_common_substring", "distinct_substring_count",
    "inverse_suffix_array", "sa_to_bytes", "sa_from_bytes", "FMIndex", "FMIndex.count",
    "FMIndex.locate", "find_phrases", "find_passages", "SuffixArray", "SuffixArray.locate",
]
REPORTED_ONLY = {"FMIndex.locate"}

# The phrase finders report every window of min_words..max_words words at every start of these
# inputs: their results hold tens of occurrences per word (gigabytes at a few megabytes), so they
# are timed at the smaller sizes given by --output-bound-n.
PHRASE_FINDERS = {"find_duplicates", "find_duplicates(blocks)", "find_duplicates_normalized",
                  "find_phrases"}
OUTPUT_BOUND = {"dotted token", "one word", "1-word sentences"}


def base_size(name, kind, args):
    output_bound = name in PHRASE_FINDERS and kind in OUTPUT_BOUND
    return min(args.n, args.output_bound_n) if output_bound else args.n

CHILD = SETUP + r"""
import json, pickle, sys, time
sys.path.insert(0, sys.argv[3])
from worker import current_rss, peak_rss, reset_peak_rss

name, path = sys.argv[1], sys.argv[2]
data = open(path, "rb").read()
call = prepare(name, data)
# Process CPU time may advance in scheduler ticks (4 ms here): a short call is repeated until a
# measurement spans at least a quarter of a second, and timed per call. The first call is
# timed on the wall clock, which has the resolution to choose the repeats.
start = time.perf_counter()
try:
    result = call()
except ValueError as refusal:  # a documented refusal (a result past the size limit)
    print(json.dumps({"refused": str(refusal)}))
    sys.exit(0)
first = time.perf_counter() - start
# The result's size, as its pickle: the work of the phrase finders grows with it.
try:
    output_bytes = len(pickle.dumps(result, protocol=pickle.HIGHEST_PROTOCOL))
except TypeError:  # not picklable (a SuffixArray, whose size follows the input's)
    output_bytes = 0
del result
repeats = max(1, min(1 << 17, round(0.25 / max(first, 1e-6))))
best, extra = float("inf"), 0
for _ in range(3):
    before = current_rss()
    reset_peak_rss()
    start = time.process_time()
    for _ in range(repeats):
        call()
    best = min(best, (time.process_time() - start) / repeats)
    extra = max(extra, peak_rss() - before)
print(json.dumps({"seconds": best, "peak_extra_bytes": extra, "output_bytes": output_bytes}))
"""


def time_call(name, path, limit):
    """None when the process used more than `limit` CPU seconds (the kernel stops it)."""
    env = dict(os.environ, QUARNEL_NUM_THREADS="1")
    cpu = int(limit) + 1
    set_limit = lambda: resource.setrlimit(resource.RLIMIT_CPU, (cpu, cpu))  # noqa: E731
    proc = subprocess.run([sys.executable, "-c", CHILD, name, str(path), str(HERE)],
                          capture_output=True, text=True, env=env, preexec_fn=set_limit)
    if proc.returncode in (-signal.SIGXCPU, -signal.SIGKILL):
        return None
    if proc.returncode != 0:
        raise SystemExit(f"{name} on {path} failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def result_growth(small, large):
    """How much larger the result is at 4n (pickled bytes), or None."""
    if not small["output_bytes"]:
        return None
    return large["output_bytes"] / small["output_bytes"]


def growth_bound(growth):
    """Linear in the input and the result, with noise."""
    return 5.0 if growth is None else max(5.0, 1.25 * growth)


def fmt_seconds(result, limit):
    if result is None:
        return f">{limit:.0f}"
    if "refused" in result:
        return "refused"
    return f"{result['seconds']:.4f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=64 << 10,
                        help="smaller size in bytes (by default every working set stays in the "
                             "2 MB per-core cache at 4n too, so the ratios show the algorithms' "
                             "growth; past it, cache and TLB misses alone take prose above 5)")
    parser.add_argument("--output-bound-n", type=int, default=512 << 10,
                        help="smaller size for the phrase finders on inputs where their result "
                             "is tens of occurrences per word")
    parser.add_argument("--limit", type=float, default=60.0,
                        help="CPU seconds allowed per process (setup and three calls)")
    parser.add_argument("--only", action="append", help="entry points to time (repeatable)")
    args = parser.parse_args()
    names = args.only or ENTRY_POINTS

    with tempfile.TemporaryDirectory() as tmp:
        paths = {}

        def input_path(kind, size):
            if (kind, size) not in paths:
                paths[kind, size] = Path(tmp) / f"{kind.replace(' ', '_')}-{size}.bin"
                paths[kind, size].write_bytes(INPUTS[kind](size))
            return paths[kind, size]

        print(f"n = {args.n} bytes ({args.output_bound_n} for the phrase finders on "
              f"{', '.join(sorted(OUTPUT_BOUND))}); ratio = t(4n) / t(n); CPU seconds, one "
              "thread, best of 3 (short calls repeated)")
        worst, refusals = {}, []
        for name in names:
            print(f"\n{name}")
            header = ("input", "n", "t(n) s", "t(4n) s", "ratio", "prose ratio",
                      "result ratio", "peak MB at 4n")
            rows, prose_ratio = [], None
            for kind in INPUTS:
                n = base_size(name, kind, args)
                small = time_call(name, input_path(kind, n), args.limit)
                refused = small is not None and "refused" in small
                large = None
                if small and not refused:
                    large = time_call(name, input_path(kind, 4 * n), args.limit)
                    refused = large is not None and "refused" in large
                timed_out = not refused and (small is None or large is None)
                if refused:
                    refusals.append(f"{name} on {kind}")
                measured = not timed_out and not refused and small["seconds"] > 0
                ratio = large["seconds"] / small["seconds"] if measured else None
                growth = result_growth(small, large) if measured else None
                bound = growth_bound(growth)
                if kind == "prose":
                    prose_ratio = ratio
                flag = "" if ratio is None or ratio <= bound else f"  over {bound:.3g}"
                # A None excess in `worst` means a time-out, never a call too short to measure.
                if name not in REPORTED_ONLY and kind != "prose" and (measured or timed_out):
                    excess = None if ratio is None else ratio / bound
                    seen = worst.get(name)
                    if excess is None or seen is None or (
                            seen[0] is not None and excess > seen[0]):
                        worst[name] = (excess, ratio, bound, kind, prose_ratio)
                peak = "-" if large is None or refused else \
                    f"{large['peak_extra_bytes'] / 2**20:.1f}"
                rows.append((kind, n, fmt_seconds(small, args.limit),
                             "-" if refused and large is None else fmt_seconds(large, args.limit),
                             "-" if ratio is None else f"{ratio:.2f}{flag}",
                             "-" if prose_ratio is None else f"{prose_ratio:.2f}",
                             "-" if growth is None else f"{growth:.2f}", peak))
            widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
            for r in [header] + rows:
                print("  ".join(str(c).rjust(w) for c, w in zip(r, widths)))
            sys.stdout.flush()

        print("\nworst ratio per entry point, against its bound (5, or 1.25 x the result's growth "
              "when that is larger); FMIndex.locate reported, not bounded:")
        over = []
        for name in names:
            if name in worst:
                excess, ratio, bound, kind, prose = worst[name]
                shown = "timed out" if ratio is None else f"{ratio:.2f} (bound {bound:.3g})"
                prose = "" if prose is None else f", prose {prose:.2f}"
                print(f"  {name}: {shown} on {kind}{prose}")
                if excess is None or excess > 1:
                    over.append(name)
        if refusals:
            print("refused with ValueError (result past the documented size limit): "
                  + ", ".join(refusals))
        print("all within their bounds" if not over else "over the bound: " + ", ".join(over))

if __name__ == "__main__":
    main()
