"""The duplicate finder on prose whose words hold non-ASCII white space (result_hashes.py's
"multibyte" text: a no-break space inside "of", an ideographic space inside "to", ...) next to
the same prose in ASCII, one thread, in the same run. The tokenizer keeps such a word whole while
phrase normalisation splits it, so nearly every window there is rewritten; it should cost about
what the ASCII text costs.

With --baseline DIR (a directory holding an installed copy of the `quarnel` package, say of an
earlier build), every case runs with that build too, interleaved, so the two can be compared."""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

from datasets import DATA_DIR, MB, dataset
from harness import table
from result_hashes import text_of

HERE = Path(__file__).resolve().parent


def input_file(kind, size):
    if kind == "ascii":
        return dataset("duplicated", size)
    path = DATA_DIR / f"multibyte-{size}.txt"
    if not path.exists():
        path.write_bytes(text_of("multibyte", size).encode("utf-8", "surrogatepass"))
    return path


def run(path, package_dir):
    env = dict(os.environ, QUARNEL_NUM_THREADS="1", OMP_NUM_THREADS="1")
    if package_dir:
        env["PYTHONPATH"] = str(package_dir)
    proc = subprocess.run([sys.executable, str(HERE / "worker.py"), "quarnel_dups:default",
                           str(path), "1"], capture_output=True, text=True, env=env, cwd=HERE)
    if proc.returncode != 0:
        raise SystemExit(f"{path} failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1,2,4", help="sizes in MB, comma-separated")
    parser.add_argument("--rounds", type=int, default=1, help="best time of this many runs")
    parser.add_argument("--baseline", help="directory with an installed copy of quarnel")
    args = parser.parse_args()
    builds = {"this build": None}
    if args.baseline:
        builds = {"baseline": Path(args.baseline).resolve(), **builds}
    rows = []
    for size_mb in (int(s) for s in args.sizes.split(",")):
        for kind in ("multibyte", "ascii"):
            path = input_file(kind, size_mb * MB)
            best = {}
            for _ in range(args.rounds):
                for label, package_dir in builds.items():
                    result = run(path, package_dir)
                    seen = best.setdefault(label, result)
                    seen["seconds"] = min(seen["seconds"], result["seconds"])
                    seen["peak_extra_bytes"] = max(seen["peak_extra_bytes"],
                                                   result["peak_extra_bytes"])
            for label, result in best.items():
                rows.append([kind, size_mb, label, f"{result['seconds']:.2f}",
                             f"{result['peak_extra_bytes'] / MB:.0f}",
                             f"{result['peak_extra_bytes'] / (size_mb * MB):.0f}"])
    table(rows, ["text", "MB", "build", "time s", "peak MB", "peak bytes/byte"])


if __name__ == "__main__":
    main()
