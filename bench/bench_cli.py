"""The command line's cost over the library call it makes.

For each input and command, runs in fresh processes (a) the bare library call on the same files,
read and decoded as the CLI reads them, and (b) ``python -m quarnel COMMAND --format F`` for every
format, with its report written to /dev/null, and prints each run's wall time, CPU time (user and
system; steadier than wall time on a shared machine) and peak resident memory as ratios to the
bare call's. Inputs: English-like prose with duplicated paragraphs (80 MB by
default) and up to 500 small files copied from the machine's licence and copyright texts.

    python bench/bench_cli.py [--size-mb 80] [--files 500] [--commands passages duplicates]
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import datasets  # noqa: E402
from harness import table  # noqa: E402

FORMATS = ("table", "json", "jsonl", "html", "csv", "sarif")
MAX_FILE = 32 << 10  # a few packages ship copyright files of megabytes; typical ones are small

# The bare call: the files read and decoded exactly as the CLI does, then the library call.
LIBRARY = """
import sys, quarnel
from quarnel._inputs import Options, read_inputs
from quarnel._progress import Progress
command, *paths = sys.argv[1:]
inputs = read_inputs(paths, Options(), Progress(False, quiet=True))
documents = list(zip(inputs.names, inputs.texts))
if command == "passages":
    m = quarnel.find_passages(documents)
else:
    m = quarnel.find_phrases(documents)
print(len(m), len(m.start), file=sys.stderr)
"""


def measure(argv):
    """Wall time, CPU time and peak resident bytes of one child process."""
    started = time.perf_counter()
    with open(os.devnull, "wb") as sink:
        proc = subprocess.Popen(argv, stdout=sink, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - started
        err = proc.stderr.read().decode()
        proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode not in (0, 1):
        raise SystemExit(f"{argv} failed ({proc.returncode}):\n{err}")
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024, err.strip()


def many_files(count, directory):
    """Up to `count` text files of the machine: licences first, then package copyright files."""
    sources = sorted(Path("/usr/share/common-licenses").glob("*"))
    sources += sorted(Path("/usr/share/doc").glob("*/copyright"))
    directory.mkdir(parents=True, exist_ok=True)
    written = 0
    for source in sources:
        if written == count:
            break
        if source.is_file() and not source.is_symlink() and source.stat().st_size <= MAX_FILE:
            shutil.copyfile(source, directory / f"{written:04d}-{source.parent.name}-{source.name}")
            written += 1
    return written


def compare(label, command, paths, rounds):
    library = [sys.executable, "-c", LIBRARY, command, *map(str, paths)]
    runs = {"library": library}
    for fmt in FORMATS:
        runs[fmt] = [sys.executable, "-m", "quarnel", command, "--quiet", "--format", fmt,
                     *map(str, paths)]
    best = {}
    for _ in range(rounds):  # interleaved, so a slow spell of the machine hits every run alike
        for name, argv in runs.items():
            seconds, cpu, peak, note = measure(argv)
            old = best.get(name)
            best[name] = (min(seconds, old[0]) if old else seconds,
                          min(cpu, old[1]) if old else cpu,
                          max(peak, old[2]) if old else peak, note if name == "library" else "")
    base_s, base_cpu, base_peak, found = best["library"]
    rows = []
    for name in ("library", *FORMATS):
        s, cpu, peak, _ = best[name]
        rows.append([label, command, "library call" if name == "library" else f"cli --format {name}",
                     f"{s:.2f}", f"{s / base_s:.2f}", f"{cpu:.2f}", f"{cpu / base_cpu:.2f}",
                     f"{peak / 1e6:.0f}", f"{peak / base_peak:.2f}"])
    print(f"{label} {command}: groups, occurrences = {found}")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mb", type=int, default=80)
    parser.add_argument("--files", type=int, default=500)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--commands", nargs="+", default=["passages", "duplicates"])
    args = parser.parse_args()
    inputs = []
    if args.size_mb:
        big = datasets.dataset("duplicated", args.size_mb * datasets.MB)
        inputs.append((f"{args.size_mb} MB prose", [big]))
    if args.files:
        directory = datasets.DATA_DIR / f"files-{args.files}"
        found = many_files(args.files, directory)
        inputs.append((f"{found} files", [directory]))
    rows = []
    for label, paths in inputs:
        for command in args.commands:
            rows += compare(label, command, paths, args.rounds)
    table(rows, ["input", "command", "run", "seconds", "x library", "cpu s", "x library",
                 "peak MB", "x library"])


if __name__ == "__main__":
    main()
