"""Two builds of quarnel on the same benchmark, in the same run: the benchmark script runs under each
build's interpreter in turn, round after round (a slow spell of the shared machine hits both),
and each row of its table keeps its best figure per build. The peers' figures (pydivsufsort's
rows, the floor columns) are the same library under both builds: they are the control, showing how
even the comparison was.

    python bench/compare_builds.py --build gcc=.venv/bin/python \\
        --build zig=build/wheel/bench-cp312/bin/python --rounds 3 \\
        --metric "MB/s" bench_suffix_array.py --sizes 8 --rounds 1
    python bench/compare_builds.py ... --metric "time s" --metric "floor s" bench_duplicates.py
"""

import argparse
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def parse_table(text, metrics, key_columns):
    """Rows of the table whose header names every metric, as {(first key_columns cells, metric):
    value}."""
    lines = text.splitlines()
    for i, line in enumerate(lines):
        header = re.split(r"\s{2,}", line.strip())
        if all(m in header for m in metrics):
            break
    else:
        raise SystemExit(f"no table with the columns {metrics!r} in:\n{text}")
    rows = {}
    for line in lines[i + 1:]:
        cells = re.split(r"\s{2,}", line.strip())
        if len(cells) != len(header):
            break
        for m in metrics:
            rows[(tuple(cells[:key_columns]), m)] = float(cells[header.index(m)].split()[0])
    return header[:key_columns], rows


def higher_is_better(metric):
    return "/s" in metric


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", action="append", required=True, help="NAME=PYTHON; two or more")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--metric", action="append", required=True,
                        help="a column compared (a rate such as MB/s: higher is better; else lower)")
    parser.add_argument("--key-columns", type=int, default=3, help="leading columns naming a row")
    parser.add_argument("script", help="a benchmark of bench/")
    parser.add_argument("args", nargs=argparse.REMAINDER, help="its arguments")
    args = parser.parse_args()
    builds = [b.split("=", 1) for b in args.build]
    best, keys = {}, None
    for r in range(args.rounds):
        for name, python in builds[r % len(builds):] + builds[:r % len(builds)]:
            run = subprocess.run([python, str(HERE / args.script), *args.args], capture_output=True,
                                 text=True, cwd=HERE)
            if run.returncode != 0:
                raise SystemExit(f"{args.script} under {name} failed:\n{run.stderr}")
            keys, rows = parse_table(run.stdout, args.metric, args.key_columns)
            for key, value in rows.items():
                pick = max if higher_is_better(key[1]) else min
                seen = best.setdefault(name, {}).get(key)
                best[name][key] = value if seen is None else pick(seen, value)
            print(f"round {r + 1} {name} done", file=sys.stderr, flush=True)
    first = builds[0][0]
    names = [n for n, _ in builds]
    print(f"{args.script} {' '.join(args.args)}: best of {args.rounds} rounds per build")
    print(" | ".join(list(keys) + ["column"] + names + [f"{n}/{first} time" for n in names[1:]]))
    for (row, metric), value in best[first].items():
        others = [best[n].get((row, metric)) for n in names[1:]]
        ratios = [(value / o if higher_is_better(metric) else o / value) if o and value
                  else float("nan") for o in others]
        print(" | ".join(list(row) + [metric, f"{value:g}"] + [f"{o:g}" if o else "-" for o in others]
                         + [f"{x:.3f}" for x in ratios]))


if __name__ == "__main__":
    main()
