"""Passages shared with a reference set against the passages of everything.

New files that copy paragraphs from a reference of 200 MB of prose (by default): times, each in a
fresh process, `find_passages(new, reference=ref)`, `find_passages(new + ref)` (every passage of
both sides, the reference's among themselves included) and `quarnel passages --against REF --
NEW`, best of `--rounds` interleaved rounds, with peak memory, as ratios to the second.

    python bench/bench_against.py [--reference-mb 200] [--new 200] [--rounds 3]
"""

import argparse
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datasets  # noqa: E402
from bench_cli import measure  # noqa: E402
from harness import table  # noqa: E402

CALL = """
import pathlib, sys, quarnel
mode, reference, new = sys.argv[1:]
read = lambda d: [(p.name, p.read_text()) for p in sorted(pathlib.Path(d).iterdir())]
reference, new = read(reference), read(new)
if mode == "against":
    m = quarnel.find_passages(new, reference=reference)
else:
    m = quarnel.find_passages(new + reference)
print(len(m), len(m.start), file=sys.stderr)
"""


def make_corpus(reference_mb, new_files, root):
    """Reference files of about 100 KB; new files of about 50 KB of other prose, each with four
    paragraphs copied from the reference."""
    done = root / "done"
    if done.exists():
        return
    rng = random.Random(11)
    ref_dir, new_dir = root / "reference", root / "new"
    ref_dir.mkdir(parents=True, exist_ok=True)
    new_dir.mkdir(parents=True, exist_ok=True)
    paragraphs = datasets.english(reference_mb * datasets.MB, seed=21).decode().split("\n\n")
    files, current = [], []
    for p in paragraphs:
        current.append(p)
        if sum(map(len, current)) > 100_000:
            files.append(current)
            current = []
    files.append(current)
    for k, ps in enumerate(files):
        (ref_dir / f"{k:05d}.txt").write_text("\n\n".join(ps))
    own = datasets.english(new_files * 50_000, seed=22).decode().split("\n\n")
    per_file = max(1, len(own) // new_files)
    for k in range(new_files):
        ps = own[k * per_file:(k + 1) * per_file]
        for _ in range(4):
            copied = rng.choice(rng.choice(files))
            ps.insert(rng.randrange(len(ps) + 1), copied)
        (new_dir / f"{k:04d}.txt").write_text("\n\n".join(ps))
    done.touch()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reference-mb", type=int, default=200)
    parser.add_argument("--new", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    root = datasets.DATA_DIR / f"against-{args.reference_mb}-{args.new}"
    make_corpus(args.reference_mb, args.new, root)
    ref, new = root / "reference", root / "new"
    runs = {
        "find_passages(new + ref)": [sys.executable, "-c", CALL, "both", str(ref), str(new)],
        "find_passages(new, reference=ref)": [sys.executable, "-c", CALL, "against", str(ref),
                                              str(new)],
        "quarnel passages --against": [sys.executable, "-m", "quarnel", "passages", "--quiet",
                                       "--against", str(ref), "--", str(new)],
    }
    best = {}
    for r in range(args.rounds):
        order = list(runs.items())
        for name, argv in order[r % 3:] + order[:r % 3]:
            seconds, _, peak, note = measure(argv)
            old = best.get(name, (seconds, peak, note))
            best[name] = (min(seconds, old[0]), max(peak, old[1]), note or old[2])
    base_s, base_peak, _ = best["find_passages(new + ref)"]
    rows = [[name, f"{s:.2f}", f"{s / base_s:.2f}", f"{peak / 1e6:.0f}",
             f"{peak / base_peak:.2f}", note] for name, (s, peak, note) in best.items()]
    table(rows, ["run", "seconds", "x both", "peak MB", "x both", "groups, places"])


if __name__ == "__main__":
    main()
