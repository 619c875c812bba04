"""Suffix-array construction per back end against pydivsufsort's divsufsort, same inputs, same
run: MB/s, ratio of times, and peak working memory beyond the input. The engines take turns in
each round (a slow spell of the shared machine hits them all alike); each keeps its best time."""

import argparse

from datasets import MB, dataset
from harness import mbps, run_interleaved, table

ENGINES = {
    "pydivsufsort": ("pydss_sa", 1),
    "pydivsufsort (all cores)": ("pydss_sa", None),
    "auto": ("quarnel_sa:auto", None),
    "auto (one thread)": ("quarnel_sa:auto", 1),
    "divsufsort": ("quarnel_sa:divsufsort", None),
    "sais": ("quarnel_sa:sais", None),
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1,8,64", help="sizes in MB")
    parser.add_argument("--kinds", default="random,english,dna,repetitive")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeats", type=int, default=1, help="calls per process and round")
    args = parser.parse_args()
    rows = []
    for kind in args.kinds.split(","):
        for size_mb in map(int, args.sizes.split(",")):
            size = size_mb * MB
            path = dataset(kind, size)
            best = run_interleaved(ENGINES, path, args.rounds, args.repeats)
            peer = best["pydivsufsort"]["seconds"]
            for label, result in best.items():
                rows.append([kind, size_mb, label, f"{mbps(size, result['seconds']):.1f}",
                             f"{result['seconds'] / peer:.2f}",
                             f"{result['peak_extra_bytes'] / size:.2f}"])
    table(rows, ["input", "MB", "engine", "MB/s", "time/peer", "peak B/byte"])
    print("time/peer: against pydivsufsort on one thread (OMP_NUM_THREADS=1); pydivsufsort's "
          "wheel uses every core by default (row 'all cores'); quarnel takes a second thread from "
          "16 MB on (row 'one thread': QUARNEL_NUM_THREADS=1).")
    print("peak B/byte: resident memory added during the call per input byte "
          "(our result array alone is 8; pydivsufsort returns 4-byte entries)")


if __name__ == "__main__":
    main()
