"""Suffix-array construction per back end against pydivsufsort's divsufsort, same inputs, same
run: MB/s, ratio of times, and peak working memory beyond the input."""

import argparse

from datasets import MB, dataset
from harness import mbps, run, table


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1,8,64", help="sizes in MB")
    parser.add_argument("--kinds", default="random,english,repetitive")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rows = []
    for kind in args.kinds.split(","):
        for size_mb in map(int, args.sizes.split(",")):
            size = size_mb * MB
            path = dataset(kind, size)
            peer = run("pydss_sa", path, args.repeats, threads=1)
            rows.append([kind, size_mb, "pydivsufsort", f"{mbps(size, peer['seconds']):.1f}", "1.00",
                         f"{peer['peak_extra_bytes'] / size:.2f}"])
            parallel = run("pydss_sa", path, args.repeats)
            rows.append([kind, size_mb, "pydivsufsort (all cores)",
                         f"{mbps(size, parallel['seconds']):.1f}",
                         f"{parallel['seconds'] / peer['seconds']:.2f}",
                         f"{parallel['peak_extra_bytes'] / size:.2f}"])
            for backend in ("auto", "divsufsort", "sais"):
                ours = run(f"quarnel_sa:{backend}", path, args.repeats)
                rows.append([kind, size_mb, backend, f"{mbps(size, ours['seconds']):.1f}",
                             f"{ours['seconds'] / peer['seconds']:.2f}",
                             f"{ours['peak_extra_bytes'] / size:.2f}"])
    table(rows, ["input", "MB", "engine", "MB/s", "time/peer", "peak B/byte"])
    print("time/peer: against pydivsufsort on one thread (OMP_NUM_THREADS=1); quarnel builds a "
          "suffix array on one thread; pydivsufsort's wheel uses every core by default (row 'all cores').")
    print("peak B/byte: resident memory added during the call per input byte "
          "(our result array alone is 8; pydivsufsort returns 4-byte entries)")


if __name__ == "__main__":
    main()
