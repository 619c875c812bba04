"""Derived arrays, transforms, search and substring statistics against pydivsufsort's
equivalents on the same inputs in the same run. Every quarnel call builds its suffix array
afresh, so the peer's timing includes its divsufsort call too where it needs one."""

import argparse

from datasets import MB, dataset
from harness import mbps, run, table

PAIRS = [
    ("lcp_array", "quarnel_lcp", "pydss_lcp", "divsufsort+kasai"),
    ("bwt", "quarnel_bwt", "pydss_bwt", "bw_transform"),
    ("inverse_bwt_fn", "quarnel_ibwt", "pydss_ibwt", "inverse_bw_transform"),
    ("count (m=16)", "quarnel_count:16", "pydss_search:16", "divsufsort+sa_search"),
    ("locate (m=16)", "quarnel_locate:16", "pydss_search:16", "divsufsort+sa_search"),
    ("distinct_substring_count", "quarnel_distinct", "pydss_distinct", "divsufsort+kasai"),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=8, help="MB")
    parser.add_argument("--kinds", default="english,random")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    size = args.size * MB
    rows = []
    for kind in args.kinds.split(","):
        path = dataset(kind, size)
        for label, ours_task, peer_task, peer_label in PAIRS:
            peer = run(peer_task, path, args.repeats, threads=1)
            ours = run(ours_task, path, args.repeats, threads=1)
            rows.append([kind, label, f"{mbps(size, ours['seconds']):.1f}", peer_label,
                         f"{mbps(size, peer['seconds']):.1f}", f"{ours['seconds'] / peer['seconds']:.2f}",
                         f"{ours['peak_extra_bytes'] / size:.1f}", f"{peer['peak_extra_bytes'] / size:.1f}"])
    table(rows, ["input", "quarnel", "MB/s", "peer", "peer MB/s", "time/peer", "our B/byte", "peer B/byte"])
    print("Both sides run on one thread (OMP_NUM_THREADS=1, QUARNEL_NUM_THREADS=1); by default "
          "lcp_array splits its passes over a second thread from 1 MB on.")
    print("distinct_substring_count works on UTF-16 code units of the text decoded as Latin-1 "
          "(SA-IS over 16-bit symbols); its peer sorts the same 2n bytes with divsufsort.")


if __name__ == "__main__":
    main()
