"""Reusable indexes against their peers, timed in one run on the same inputs.

* SuffixArray.count_many of many short patterns in one call, against one Python call of
  pydivsufsort's sa_search per pattern over a suffix array built beforehand (the way pydivsufsort
  users reuse an array);
* FMIndex.count_many against a Python loop of FMIndex.count over the same patterns;
* FMIndex.load of a saved index, and pickling round trips;
* with --baseline, the loads (FMIndex.load, FMIndex.from_bytes, SuffixArray.load) of the same
  files by another build of the package too, the two builds' worker processes taking turns.

Setup (building the arrays and indexes) is outside every timing; each figure is the best of
several runs (a batch call and its peer's loop take turns); peak memory is the resident high-water
mark a step added.

    bench/bench_indexes.py [--size 64] [--patterns 100000] [--runs 5] [--baseline DIR]

DIR holds another build's `quarnel` package (a copy of its site-packages folder, say).
"""

import argparse
import json
import os
import pickle
import random
import subprocess
import sys
import tempfile
import time

import numpy as np

from datasets import MB, dataset
from harness import table
from worker import current_rss, peak_rss, reset_peak_rss


def best_of(runs, fn):
    best = float("inf")
    result = None
    for _ in range(runs):
        result = None  # the previous result is freed before the next run
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def measured(runs, fn):
    """(best seconds, result, peak bytes added above the resident size before the first run)."""
    base = current_rss()
    reset_peak_rss()
    seconds, result = best_of(runs, fn)
    return seconds, result, max(0, peak_rss() - base)


def short_patterns(data, count, rng):
    """Substrings of 4 to 12 bytes at random places, with a tenth perturbed so they may miss."""
    out = []
    for _ in range(count):
        m = rng.randint(4, 12)
        at = rng.randrange(len(data) - m)
        p = bytearray(data[at:at + m])
        if rng.random() < 0.1:
            p[-1] = rng.randrange(1, 256)
        out.append(bytes(p))
    return out


def measured_in_turns(runs, peer_runs, ours, peer):
    """measured() of both, their runs taking turns (ours, the peer, ours, ...) so that a slow
    spell of a shared machine lands on both sides of the ratio: (ours, peer), each (best seconds,
    result, the most a run added to the resident size)."""
    best = {ours: float("inf"), peer: float("inf")}
    results, peaks = {}, {ours: 0, peer: 0}
    for turn in range(max(runs, peer_runs)):
        for fn, count in ((ours, runs), (peer, peer_runs)):
            if turn >= count:
                continue
            results[fn] = None  # the previous result is freed before the next run
            base = current_rss()
            reset_peak_rss()
            start = time.perf_counter()
            results[fn] = fn()
            best[fn] = min(best[fn], time.perf_counter() - start)
            peaks[fn] = max(peaks[fn], peak_rss() - base)
    return tuple((best[fn], results[fn], peaks[fn]) for fn in (ours, peer))


def mib(nbytes):
    return f"{nbytes / MB:.1f}"


LOADS = ["FMIndex.load", "FMIndex.from_bytes", "SuffixArray.load"]


def time_loads(fm_path, sa_path, data_path, runs):
    """Best seconds of each load, in this process's build of the package."""
    import quarnel
    with open(data_path, "rb") as f:
        data = f.read()
    with open(fm_path, "rb") as f:
        blob = f.read()
    fns = [lambda: quarnel.FMIndex.load(fm_path), lambda: quarnel.FMIndex.from_bytes(blob),
           lambda: quarnel.SuffixArray.load(sa_path, data)]
    return {name: best_of(runs, fn)[0] for name, fn in zip(LOADS, fns)}


def compare_loads(baseline, files, runs, turns=3):
    """{load: (baseline seconds, this build's seconds)}, worker processes of the two builds
    taking turns so that a slow spell of a shared machine lands on both."""
    best = {"baseline": {}, "this": {}}
    for _ in range(turns):
        for build in ("baseline", "this"):
            env = dict(os.environ)
            if build == "baseline":
                env["PYTHONPATH"] = baseline + os.pathsep + env.get("PYTHONPATH", "")
            out = subprocess.run([sys.executable, __file__, "--time-loads", *files, "--runs",
                                  str(runs)], env=env, check=True, capture_output=True, text=True)
            for name, seconds in json.loads(out.stdout.splitlines()[-1]).items():
                best[build][name] = min(seconds, best[build].get(name, float("inf")))
    return {name: (best["baseline"][name], best["this"][name]) for name in LOADS}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=64, help="MB of English-like text")
    parser.add_argument("--patterns", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--baseline", help="folder holding another build's quarnel package")
    parser.add_argument("--time-loads", nargs=3, metavar=("FM", "SA", "DATA"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.time_loads:
        print(json.dumps(time_loads(*args.time_loads, args.runs)))
        return

    import pydivsufsort
    import quarnel

    data = dataset("english", args.size * MB).read_bytes()
    patterns = short_patterns(data, args.patterns, random.Random(20))
    k = len(patterns)
    rows = []

    # SuffixArray batch count vs pydivsufsort's sa_search, one Python call per pattern.
    index = quarnel.SuffixArray(data)
    peer_sa = pydivsufsort.divsufsort(data)
    search = pydivsufsort.sa_search
    (ours_s, ours_counts, ours_mem), (peer_s, peer_counts, peer_mem) = measured_in_turns(
        args.runs, max(1, args.runs // 2), lambda: index.count_many(patterns),
        lambda: [search(data, peer_sa, p)[0] for p in patterns])
    assert ours_counts.tolist() == peer_counts, "SuffixArray and pydivsufsort disagree"
    rows.append(["SuffixArray.count_many", f"{k / ours_s / 1e6:.2f}", mib(ours_mem),
                 "sa_search loop", f"{k / peer_s / 1e6:.3f}", mib(peer_mem), f"{peer_s / ours_s:.1f}x"])
    # Short patterns occur up to millions of times each: locate the rare ones (at most 1000 hits).
    rare = [p for p, c in zip(patterns, ours_counts.tolist()) if c <= 1000]
    ours_loc, (positions, _), loc_mem = measured(args.runs, lambda: index.locate_many(rare))
    peer_loc, _, _ = measured(max(1, args.runs // 2),
                              lambda: [np.sort(peer_sa[(left or 0):(left or 0) + c]) for c, left in
                                       (search(data, peer_sa, p) for p in rare)])
    rows.append([f"SuffixArray.locate_many ({len(rare)} rare)", f"{len(rare) / ours_loc / 1e6:.2f}",
                 mib(loc_mem), "sa_search + sort loop", f"{len(rare) / peer_loc / 1e6:.3f}", "",
                 f"{peer_loc / ours_loc:.1f}x"])
    with tempfile.TemporaryDirectory() as tmp:
        sa_path = os.path.join(tmp, "index.qsa")
        sa_save_s, _ = best_of(1, lambda: index.save(sa_path))
        sa_load_s, loaded, sa_load_mem = measured(args.runs, lambda: quarnel.SuffixArray.load(sa_path, data))
        assert loaded.count_many(patterns[:1000]).tolist() == ours_counts[:1000].tolist()
        del loaded
        if args.baseline:
            fm_path = os.path.join(tmp, "index.qfm")
            quarnel.FMIndex(data).save(fm_path)
            data_path = os.path.join(tmp, "data")
            with open(data_path, "wb") as f:
                f.write(data)
            compared = compare_loads(args.baseline, [fm_path, sa_path, data_path], args.runs)
    del positions
    index = peer_sa = None  # freed before the next measurements

    # FMIndex batch count vs a Python loop of count.
    fm = quarnel.FMIndex(data)
    count = fm.count
    (batch_s, batch_counts, batch_mem), (loop_s, loop_counts, loop_mem) = measured_in_turns(
        args.runs, args.runs, lambda: fm.count_many(patterns),
        lambda: [count(p) for p in patterns])
    assert batch_counts.tolist() == loop_counts == ours_counts.tolist(), "FMIndex counts disagree"
    rows.append(["FMIndex.count_many", f"{k / batch_s / 1e6:.2f}", mib(batch_mem),
                 "FMIndex.count loop", f"{k / loop_s / 1e6:.2f}", mib(loop_mem),
                 f"{loop_s / batch_s:.1f}x"])
    table(rows, ["quarnel", "M patterns/s", "peak MiB", "peer", "peer M/s", "peer peak MiB", "speedup"])
    print(f"{k} patterns of 4-12 bytes, one tenth perturbed, over {args.size} MB of English-like "
          f"text; best of {args.runs} runs (the sa_search loop: {max(1, args.runs // 2)}).")

    # FMIndex persistence.
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "index.qfm")
        save_s, _ = best_of(1, lambda: fm.save(path))
        size = os.path.getsize(path)
        load_s, loaded, load_mem = measured(args.runs, lambda: quarnel.FMIndex.load(path))
        assert loaded.count_many(patterns[:1000]).tolist() == batch_counts[:1000].tolist()
        del loaded
        state = pickle.dumps(fm, protocol=pickle.HIGHEST_PROTOCOL)
        unpickle_s, _ = best_of(args.runs, lambda: pickle.loads(state))
        build_s, _ = best_of(1, lambda: quarnel.FMIndex(data))
    print()
    table([
        ["FMIndex(data) build", f"{build_s * 1e3:.0f}", ""],
        ["FMIndex.save", f"{save_s * 1e3:.0f}", f"file {mib(size)} MiB"],
        ["FMIndex.load (mapped, checksummed)", f"{load_s * 1e3:.1f}", f"peak +{mib(load_mem)} MiB"],
        ["pickle.loads (copied, checksummed)", f"{unpickle_s * 1e3:.1f}", f"state {mib(len(state))} MiB"],
        ["SuffixArray.save", f"{sa_save_s * 1e3:.0f}", ""],
        ["SuffixArray.load (mapped, checked)", f"{sa_load_s * 1e3:.1f}", f"peak +{mib(sa_load_mem)} MiB"],
    ], ["Persistence", "ms", ""])
    if args.baseline:
        print()
        table([[name, f"{old * 1e3:.1f}", f"{new * 1e3:.1f}", f"{new / old:.2f}x"]
               for name, (old, new) in compared.items()],
              ["Loads, same files", "baseline ms", "this build ms", "ratio"])
        print(f"baseline: {args.baseline}; best of {args.runs} runs in each of 3 turns per build.")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
