"""The duplicate-phrase finder with default parameters and with block detection, next to the
floor it cannot beat (pydivsufsort's divsufsort + kasai on the same bytes: the finder needs both
arrays) and, on prose, a plain-Python word n-gram counter (collections.Counter over every 4- to
50-word window), all in the same run."""

import argparse

from datasets import MB, dataset
from harness import mbps, run, run_interleaved, table

CASES = [  # (dataset kind, size in MB, with n-gram baseline)
    ("english", 1, True),
    ("english", 16, False),
    ("duplicated", 1, True),
    ("duplicated", 16, False),
    ("one-paragraph", 1, False),
    ("one-paragraph", 4, False),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds of the floor and both modes, interleaved; best time kept "
                             "(of five calls per process up to 4 MB, where one call is short "
                             "enough for a slow spell to swamp it, else two)")
    parser.add_argument("--quick", action="store_true", help="1 MB cases only")
    args = parser.parse_args()
    rows, measured = [], {}
    for kind, size_mb, baseline in CASES:
        if args.quick and size_mb > 1:
            continue
        size = size_mb * MB
        path = dataset(kind, size)
        timed = run_interleaved({
            "floor": ("pydss_lcp", None), "floor 1": ("pydss_lcp", 1),
            "default": ("quarnel_dups:default", None), "default 1": ("quarnel_dups:default", 1),
            "blocks": ("quarnel_dups:blocks", None), "blocks 1": ("quarnel_dups:blocks", 1),
        }, path, args.rounds, repeats=5 if size_mb <= 4 else 2)
        floor, floor1 = timed["floor"], timed["floor 1"]
        ngram = run("ngram_baseline", path, 1) if baseline else None
        for mode in ("default", "blocks"):
            ours, ours1 = timed[mode], timed[f"{mode} 1"]
            measured[(kind, size_mb, mode)] = ours
            rows.append([kind, size_mb, mode, f"{mbps(size, ours['seconds']):.2f}",
                         f"{ours['peak_extra_bytes'] / MB:.0f}", f"{ours['seconds']:.3f}",
                         f"{floor['seconds']:.3f}", f"{ours['seconds'] / floor['seconds']:.2f}",
                         f"{ours1['seconds']:.3f}", f"{floor1['seconds']:.3f}",
                         f"{ours1['seconds'] / floor1['seconds']:.2f}",
                         f"{ngram['seconds'] / ours['seconds']:.0f}x" if ngram else "-",
                         f"{ngram['peak_extra_bytes'] / MB:.0f}" if ngram else "-"])
    table(rows, ["input", "MB", "mode", "MB/s", "peak MB", "time s", "floor s", "time/floor",
                 "1-thread s", "floor 1-thread s", "ratio 1-thread", "vs n-gram", "n-gram peak MB"])
    print("floor = pydivsufsort divsufsort + kasai on the same bytes; 'time' and 'floor' with each "
          "library's default threads (pydivsufsort: every core; quarnel: a second thread from 1 MB), "
          "'1-thread' with both held to one; vs n-gram = how many times faster than the Counter "
          "baseline")
    for mode in ("default", "blocks"):
        small, large = measured.get(("one-paragraph", 1, mode)), measured.get(("one-paragraph", 4, mode))
        if small and large:
            t = (large["seconds"] / small["seconds"]) ** 0.5
            m = (max(large["peak_extra_bytes"], 1) / max(small["peak_extra_bytes"], 1)) ** 0.5
            print(f"one paragraph repeated, {mode}: doubling the input costs {t:.2f}x time, "
                  f"{m:.2f}x memory (geometric mean over 1 -> 4 MB)")


if __name__ == "__main__":
    main()
