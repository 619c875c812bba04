"""Ctrl-C during a long native call raises KeyboardInterrupt soon, and the call frees its memory."""

import os
import subprocess
import sys

import pytest

# Each call runs for minutes if not interrupted. The child interrupts it several times (SIGINT
# from a timer thread, as Ctrl-C would send it) and reports the slowest reaction and how much
# the process grew from the first half of the interrupted calls to the second. Each half's
# smallest size is taken: where an interrupt lands moves the resident size by tens of MB either
# way (freed pages the allocator keeps), while what a call failed to free would raise every
# later size.
CHILD = """
import ctypes, os, random, signal, sys, threading, time
from quarnel import _native as q
import quarnel

libc = ctypes.CDLL(None)

def resident():
    libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

# A shell that starts a job in the background ignores SIGINT for it, and Python then leaves
# it ignored: the test needs Ctrl-C's usual handler whatever started it.
signal.signal(signal.SIGINT, signal.default_int_handler)

kind = sys.argv[1]
rng = random.Random(1)
if kind == "fm_locate":
    # Sampling one row in 2^20: each located position walks about a million steps.
    index = q.FMIndex(rng.randbytes(1 << 21).replace(b"\\0", b"\\1"), 20)
    call = lambda: index.locate(b"a")
else:
    # One-word sentences and dotted tokens, over and over.
    text = "".join(rng.choice(["Dr.", "a.", "U.S.", "x.com.", "é.", " "]) for _ in range(1 << 21))
    # Results are dropped as they come: an interrupt that is not heard costs time, not memory.
    if kind == "find_duplicates":
        call = lambda: all(q.find_duplicates(text) is not None for _ in range(1000))
    else:
        docs = [text[k:k + 40000] for k in range(0, len(text), 40000)]
        fn = {"find_phrases": quarnel.find_phrases, "find_passages": quarnel.find_passages,
              "dedup": quarnel.dedup}[kind]
        call = lambda: all(fn(docs, min_words=2) is not None for _ in range(1000))

# Once before the rounds: the first result imports NumPy, which stays (about 13 MB) and would
# count as growth when the first rounds are interrupted before any result.
import numpy

sent = []
def interrupt():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)

slowest, sizes = 0.0, []
for round in range(6):
    timer = threading.Timer(0.7, interrupt)
    timer.start()
    try:
        call()
        print("finished")
        sys.exit(1)
    except KeyboardInterrupt:
        slowest = max(slowest, time.monotonic() - sent[-1])
    timer.join()
    sizes.append(resident())
print(slowest, min(sizes[3:]) - min(sizes[:3]))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses /proc, glibc, POSIX signals")
@pytest.mark.parametrize("kind", ["fm_locate", "find_duplicates", "find_phrases", "find_passages", "dedup"])  # fmt: skip
def test_ctrl_c_interrupts_a_long_call(kind):
    # One malloc arena: glibc gives the second thread an arena of its own, which keeps tens of
    # MB resident after the thread ends (the same amount each time, reused by the next call).
    # With one arena, memory a call failed to free would still show, and nothing else does.
    env = dict(os.environ, MALLOC_ARENA_MAX="1")
    argv = [sys.executable, "-c", CHILD, kind]
    proc = subprocess.run(argv, capture_output=True, text=True, timeout=120, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    slowest, grown = proc.stdout.split()
    # Generous bounds: a functional check, not a timing benchmark. Uninterrupted, each call takes
    # minutes; what it allocated (tens of MB) is freed each time.
    assert float(slowest) < 3.0 and int(grown) < 8 << 20
