"""Runs worker tasks in fresh processes and formats ratio tables."""

import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run(task, path, repeats=3, threads=None):
    """`threads` caps the threads of one call in the child (None: each library's default).
    pydivsufsort's wheel sorts with every core (OpenMP); quarnel uses a second thread for parts of
    a call on inputs of a megabyte or more."""
    env = dict(os.environ)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
        env["QUARNEL_NUM_THREADS"] = str(threads)
    proc = subprocess.run([sys.executable, str(HERE / "worker.py"), task, str(path), str(repeats)],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"{task} on {path} failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def run_interleaved(tasks, path, rounds=3, repeats=2, runner=run):
    """Best time of each task over `rounds` rounds, each running every task once (`repeats`
    calls in a fresh process), so that a slow spell of a shared machine hits them all alike.
    `tasks` maps a label to a task name and its thread cap (or None); peak memory is the largest
    seen; `runner` runs one task (default: worker.py here). Each round starts one task later, so
    that no task always follows the same one (what a process leaves behind, such as freed
    memory, can speed up or slow down the next)."""
    best = {}
    order = list(tasks.items())
    for r in range(rounds):
        shift = r % len(order)
        for label, (task, threads) in order[shift:] + order[:shift]:
            result = runner(task, path, repeats, threads)
            seen = best.setdefault(label, result)
            seen["seconds"] = min(seen["seconds"], result["seconds"])
            seen["peak_extra_bytes"] = max(seen["peak_extra_bytes"], result["peak_extra_bytes"])
    return best


def mbps(size, seconds):
    return size / (1 << 20) / seconds


def table(rows, header):
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    line = lambda r: "  ".join(str(c).rjust(w) for c, w in zip(r, widths))  # noqa: E731
    print(line(header))
    for r in rows:
        print(line(r))
    sys.stdout.flush()
