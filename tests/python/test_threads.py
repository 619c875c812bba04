"""Calls on large inputs let other Python threads run, calls from several threads at once give
the results each gives alone, errors included, and a second native thread changes no result nor
the interpreter's object allocator."""

import ctypes
import json
import os
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from quarnel import _native

WORDS = ["alpha", "beta", "gamma", "delta", "kappa", "lambda", "omega", "sigma", "tau", "rho"]


def prose(rng, words):
    return " ".join(rng.choice(WORDS) for _ in range(words))


def runs_while_waiting(call):
    """Whether a thread waiting to run Python code ran while `call` was in progress.

    With a switch interval far longer than the call, the interpreter never takes the lock from
    a running thread: the waiting thread runs during the call only if the call released it."""
    go, ran = threading.Event(), threading.Event()
    thread = threading.Thread(target=lambda: go.wait() and ran.set())
    previous = sys.getswitchinterval()
    sys.setswitchinterval(30.0)
    try:
        thread.start()
        go.set()
        call()
        ran_during_call = ran.is_set()
    finally:
        sys.setswitchinterval(previous)
    thread.join()
    return ran_during_call


def test_long_calls_let_other_threads_run(rng):
    # Calls that take long enough (tens of milliseconds or more) for a waiting thread to be
    # scheduled.
    data = bytes(rng.getrandbits(8) for _ in range(1 << 16)) * 32
    text = prose(rng, 150_000)
    index = _native.FMIndex(text.encode())
    calls = {
        "suffix_array_fn": lambda: _native.suffix_array_fn(data),
        "lcp_array": lambda: _native.lcp_array(data),
        "bwt": lambda: _native.bwt(data),
        "distinct_substring_count": lambda: _native.distinct_substring_count(text),
        "find_duplicates": lambda: _native.find_duplicates(text),
        "find_duplicates_normalized": lambda: _native.find_duplicates_normalized(text, True, True),
        "FMIndex": lambda: _native.FMIndex(text.encode()),
        "FMIndex.locate": lambda: index.locate(b"a"),
    }
    assert [name for name, call in calls.items() if not runs_while_waiting(call)] == []
    # the check can tell a held lock: sorting a list holds it throughout
    values = [(k * 7919) % 1_000_003 for k in range(300_000)]
    assert not runs_while_waiting(lambda: sorted(values))


def outcome(call):
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - the error itself is the outcome compared
        return ("raised", type(error), str(error))
    return ("array", result.tolist()) if isinstance(result, np.ndarray) else ("value", result)


def test_concurrent_calls_give_the_results_of_single_calls(rng):
    calls = [
        lambda: _native.FMIndex(b"a\x00b"),
        lambda: _native.inverse_bwt_fn(b"ab", 5),
        lambda: _native.bwt(b""),
    ]
    for text in [prose(rng, rng.randrange(200, 3000)) for _ in range(6)]:
        data, index = text.encode(), _native.FMIndex(text.encode())
        calls += [
            lambda t=text: _native.find_duplicates(t, min_words=2),
            lambda t=text: _native.find_duplicates_normalized(t, True, True, 3),
            lambda d=data: _native.suffix_array_fn(d, "sais"),
            lambda d=data: _native.lcp_array(d),
            lambda d=data: _native.locate(d, b"alpha beta"),
            lambda d=data: _native.inverse_bwt_fn(*_native.bwt(d)),
            lambda t=text: _native.longest_common_substring(t, t[len(t) // 2 :]),
            lambda i=index: i.locate(b"gamma"),
            lambda i=index: i.count(b"a"),
        ]
    expected = [outcome(call) for call in calls]
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            assert list(pool.map(outcome, calls)) == expected


# The first call's megabytes of result objects must not swap the interpreter's process-wide
# arena allocator, not even for the length of the call: other threads and extensions share it.
SPLIT_CALLS = """
import hashlib, json, sys, threading
sys.path.insert(0, sys.argv[1])
from test_threads import arena_allocator
from quarnel import _native
text = sys.stdin.read()
before, seen, done = arena_allocator(), set(), threading.Event()
def watch():
    while not done.is_set():
        seen.add(arena_allocator())
watcher = threading.Thread(target=watch)
watcher.start()
outputs = [_native.find_duplicates(text)]
done.set()
watcher.join()
assert len(outputs[0]) > 10_000 and seen <= {before} and arena_allocator() == before
outputs += [
    _native.find_duplicates(text, enable_block_detection=True, min_words=3),
    _native.find_duplicates_normalized(text, True, True, enable_block_detection=True),
    _native.lcp_array(text.encode()).tolist(),
]
print(json.dumps([hashlib.sha256(json.dumps(o).encode()).hexdigest() for o in outputs]))
"""


class ArenaAllocator(ctypes.Structure):
    _fields_ = [("ctx", ctypes.c_void_p), ("alloc", ctypes.c_void_p), ("free", ctypes.c_void_p)]


def arena_allocator():
    allocator = ArenaAllocator()
    ctypes.pythonapi.PyObject_GetArenaAllocator(ctypes.byref(allocator))
    return (allocator.ctx, allocator.alloc, allocator.free)


def paragraphs_with_copies(rng, size):
    """Prose over a small vocabulary, a third of its paragraphs copied elsewhere, some copies
    wrapped (spaces made line breaks or double spaces) or cased differently so that phrases are
    rewritten at every kind of word."""
    paragraphs = []
    while sum(map(len, paragraphs)) < size:
        sentences = [prose(rng, rng.randrange(5, 25)).capitalize() + "." for _ in range(6)]
        paragraphs.append(" ".join(sentences))
    wrapped = lambda p: "".join(w + rng.choice([" "] * 5 + ["\n", "  "]) for w in p.split(" "))  # noqa: E731
    for p in rng.sample(paragraphs, len(paragraphs) // 3):
        copy = rng.choice([p, wrapped(p).rstrip(), p.upper()])
        paragraphs.insert(rng.randrange(len(paragraphs) + 1), copy)
    return "\n\n".join(paragraphs)


def run_child(script, text, *args, **env):
    argv = [sys.executable, "-c", script, *args]
    env = dict(os.environ, **env)
    return subprocess.run(argv, input=text, env=env, capture_output=True, text=True, check=True)


def test_a_second_thread_changes_no_result_nor_the_object_allocator(rng):
    # Above a megabyte, the suffix and LCP arrays are built by halves side by side, and the
    # block search, the sentence splitter and the candidate scan run on a second thread;
    # QUARNEL_NUM_THREADS=1 keeps them on one, and 2 asks for the second thread even on a
    # machine with one core, so the split paths run wherever this test does.
    text = paragraphs_with_copies(rng, 1_300_000)
    here = os.path.dirname(__file__)
    one, two = (run_child(SPLIT_CALLS, text, here, QUARNEL_NUM_THREADS=n).stdout for n in "12")
    assert json.loads(one) == json.loads(two)
