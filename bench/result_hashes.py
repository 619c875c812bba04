"""Hashes of the duplicate finder's results on the bench texts, for checking that a change of
structure leaves every result as it was: run it before and after and compare the lines (or pass
the earlier output with --expect).

Each case runs in a fresh process, with the second thread allowed (the default) and with
QUARNEL_NUM_THREADS=1, in three modes: default parameters, with block detection, and through
find_duplicates_normalized (lower-casing and collapsing white space). Besides the ASCII bench
texts, a copy of the duplicated prose with some words in multi-byte characters takes the UTF-8
paths (non-ASCII white space, two-unit UTF-16 characters).
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

from datasets import MB, dataset

HERE = Path(__file__).resolve().parent
KINDS = ("english", "duplicated", "one-paragraph", "multibyte")
MODES = ("default", "blocks", "normalized")

# Words of the prose replaced by multi-byte ones: accents, a no-break space inside a word pair,
# an ideographic space and characters outside the Basic Multilingual Plane.
MULTIBYTE_WORDS = {
    "the": "thé", "of": "o\u00a0f", "and": "ańd", "to": "t\u3000o", "license": "licen\U0001d49ce",
    "software": "so\u2028ftware", "program": "prógram",
}


def text_of(kind, size):
    if kind != "multibyte":
        return dataset(kind, size).read_bytes().decode("utf-8", "replace")
    words = dataset("duplicated", size).read_bytes().decode("utf-8", "replace").split(" ")
    return " ".join(MULTIBYTE_WORDS.get(w, w) for w in words)


def digest(results):
    h = hashlib.sha256()
    for r in results:
        occurrences = ",".join(f"{o['start']}-{o['end']}" for o in r["occurrences"])
        h.update(f"{r['phrase']}\x00{r['count']}\x00{r['string_length']}\x00"
                 f"{r['number_of_words']}\x00{occurrences}\x01".encode("utf-8", "surrogatepass"))
    return h.hexdigest()[:16]


def child(kind, size, mode):
    from quarnel import _native
    text = text_of(kind, size)
    if mode == "normalized":
        results = _native.find_duplicates_normalized(text, True, True)
    else:
        results = _native.find_duplicates(text, enable_block_detection=mode == "blocks")
    print(json.dumps({"hash": digest(results), "results": len(results)}))


def run_case(kind, size, mode, threads):
    env = dict(os.environ)
    env.pop("QUARNEL_NUM_THREADS", None)
    if threads == 1:
        env["QUARNEL_NUM_THREADS"] = "1"
    proc = subprocess.run([sys.executable, __file__, "--child", kind, str(size), mode],
                          capture_output=True, text=True, env=env, cwd=HERE, check=True)
    return json.loads(proc.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1,4", help="sizes in MB, comma-separated")
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--expect", help="an earlier output of this script to compare with")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, size, mode = args.child
        child(kind, int(size), mode)
        return
    expected = {}
    if args.expect:
        for line in Path(args.expect).read_text().splitlines():
            if not line.startswith("#"):
                key, _, value = line.rpartition(" ")
                expected[key] = value
    differ = 0
    for size_mb in (int(s) for s in args.sizes.split(",")):
        for kind in args.kinds.split(","):
            for mode in MODES:
                seen = {}
                for threads in (None, 1):
                    out = run_case(kind, size_mb * MB, mode, threads)
                    value = f"{out['hash']}:{out['results']}"
                    seen[threads] = value
                    key = f"{kind} {size_mb}MB {mode} threads={threads or 'default'}"
                    if key in expected and expected[key] != value:
                        differ += 1
                        print(f"# DIFFERS, was {expected[key]}:", flush=True)
                    print(f"{key} {value}", flush=True)
                if seen[None] != seen[1]:
                    print(f"# {kind} {size_mb}MB {mode}: one and two threads differ", flush=True)
                    differ += 1
    if args.expect:
        print(f"# {differ} differences from {args.expect}")
    sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main()
