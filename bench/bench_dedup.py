"""Cleaning a corpus: quarnel.dedup against datatrove's SentenceDedup and text-dedup's exact
methods, timed in the same run, best of several rounds, each run in a fresh process.

The corpus (dedup_corpus.py) is this machine's real text files with whole documents,
paragraphs and boilerplate copied at recorded places. Per engine: MB/s (bytes of the documents'
text), peak bytes per input byte (added on top of what the process held before the timed part),
the share of the injected copies' words removed, whether it keeps a copy (share of injected
groups with one copy left whole; with the first copy, the source, left whole), cuts inside
words, and the share of all words removed. quarnel.dedup is also run through its CLI, file to
file as the peers run, and find_passages (min_words=50) beside it for the time ratio.

datatrove takes minutes per 10 MB here: it runs on a smaller corpus (--datatrove-size), beside
quarnel.dedup and text-dedup on that same corpus, and its MB/s is taken as the same at the main
size (its work per byte does not grow with the corpus: sentence hashes, then one sorted merge).

The peers live in venvs under bench/.peers (never the project's): `--setup` makes them.
"""

import argparse
import json
import subprocess
import sys
from pathlib import Path

from dedup_corpus import corpus, load
from dedup_score import score_output, score_spans
from harness import run_interleaved, table

HERE = Path(__file__).resolve().parent
PEERS = HERE / ".peers"
RESULTS = HERE / "results"
# datasets 4.0.0: later releases run map(num_proc=1) in a pool, and text-dedup's Bloom filter
# (rbloom) cannot be pickled into it. spacy: datatrove's English sentence splitter.
PEER_PACKAGES = {
    "datatrove": ["datatrove[processing,io]==0.10.1", "spacy"],
    "text-dedup": ["text-dedup==0.4.1", "datasets==4.0.0"],
}
ENGINES = {  # task -> venv (None: this Python)
    "quarnel_dedup": None, "quarnel_cli": None, "quarnel_passages": None,
    "textdedup_bloom": "text-dedup", "textdedup_suffix_array": "text-dedup",
    "datatrove_sentence": "datatrove",
}


def setup():
    for name, packages in PEER_PACKAGES.items():
        venv = PEERS / name
        if not (venv / "bin" / "python").exists():
            subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        subprocess.run([str(venv / "bin" / "pip"), "install", "-q", *packages], check=True)


def output_path(task, folder):
    out = HERE / ".data" / "out"
    out.mkdir(parents=True, exist_ok=True)
    return out / f"{task}-{Path(folder).name}{'.npz' if task == 'quarnel_dedup' else '.jsonl'}"


def run_engine(task, folder, repeats, threads=None):
    venv = ENGINES[task]
    python = str(PEERS / venv / "bin" / "python") if venv else sys.executable
    proc = subprocess.run([python, str(HERE / "dedup_runner.py"), task, str(folder),
                           str(output_path(task, folder)), str(repeats)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        return {"failed": (proc.stderr.strip().splitlines() or ["?"])[-1], "seconds": 0,
                "peak_extra_bytes": 0}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def _cleaned(texts, npz):
    """The documents less the spans quarnel.dedup saved."""
    import numpy as np
    spans = np.load(npz)
    cut = [[] for _ in texts]
    for d, a, b in zip(spans["document"].tolist(), spans["start"].tolist(),
                       spans["end"].tolist()):
        cut[d].append((a, b))
    out = []
    for text, pieces in zip(texts, cut):
        kept, at = [], 0
        for a, b in pieces:
            kept.append(text[at:a])
            at = b
        out.append("".join(kept) + text[at:])
    return out


def measure(folder, tasks, rounds):
    timed = run_interleaved({t: (t, None) for t in tasks}, folder, rounds, repeats=1,
                            runner=run_engine)
    texts, injected = load(folder)
    with open(folder / "corpus.jsonl", encoding="utf-8") as f:
        ids = [json.loads(line)["id"] for line in f]
    size = sum(len(t.encode()) for t in texts)
    print(json.dumps({folder.name: timed}), flush=True)  # the times, before the slow scoring
    for task, t in timed.items():
        t["size"] = size
        if "failed" in t or task == "quarnel_passages":
            continue
        path = output_path(task, folder)
        if task == "quarnel_cli":  # its output must be the function's: compared, not re-scored
            with open(path, encoding="utf-8") as f:
                cli = [json.loads(line)["text"] for line in f]
            t["same_as_dedup"] = cli == _cleaned(texts, output_path("quarnel_dedup", folder))
            continue
        t.update(score_spans(texts, injected, path) if task == "quarnel_dedup"
                 else score_output(texts, injected, path, ids))
    if "quarnel_cli" in timed and "quarnel_dedup" in timed and timed["quarnel_cli"].get(
            "same_as_dedup"):
        timed["quarnel_cli"].update({k: v for k, v in timed["quarnel_dedup"].items()
                                     if k not in ("seconds", "peak_extra_bytes")})
    return timed


def rows_of(label, timed):
    rows = []
    for task, t in timed.items():
        if "failed" in t:
            rows.append([label, task, "fails: " + t["failed"][:60]] + [""] * 7)
            continue
        mbps = t["size"] / (1 << 20) / t["seconds"]
        scored = "injected_removed" in t
        rows.append([label, task, f"{t['seconds']:.1f}", f"{mbps:.2f}",
                     f"{t['peak_extra_bytes'] / t['size']:.2f}",
                     f"{t['injected_removed']:.1%}" if scored else "",
                     f"{t['keeps_copy']:.0%} / {t['keeps_first']:.0%}" if scored else "",
                     str(t["cuts_inside_words"]) if scored else "",
                     f"{t['removed_overall']:.1%}" if scored else ""])
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--setup", action="store_true", help="make the peers' venvs first")
    parser.add_argument("--size", type=int, default=256, help="main corpus, MB (0: leave it out)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--datatrove-size", type=int, default=16, help="MB (0: leave it out)")
    parser.add_argument("--datatrove-rounds", type=int, default=1)
    parser.add_argument("--large", type=int, default=1024,
                        help="MB: dedup against find_passages only (0: leave it out)")
    args = parser.parse_args()
    if args.setup:
        setup()
    results, rows = {}, []
    if args.size:
        main_tasks = ["quarnel_dedup", "quarnel_cli", "quarnel_passages", "textdedup_bloom"]
        folder = corpus(args.size)
        results[f"{args.size} MB"] = measure(folder, main_tasks, args.rounds)
        # Needs a checkout of a suffix-array program that no package brings: it fails here.
        results[f"{args.size} MB"].update(measure(folder, ["textdedup_suffix_array"], 1))
        rows += rows_of(f"{args.size} MB", results[f"{args.size} MB"])
    if args.datatrove_size:
        small = corpus(args.datatrove_size)
        label = f"{args.datatrove_size} MB"
        results[label] = measure(small, ["datatrove_sentence", "quarnel_dedup", "textdedup_bloom"],
                                 args.datatrove_rounds)
        rows += rows_of(label, results[label])
    if args.large:
        label = f"{args.large} MB"
        results[label] = measure(corpus(args.large), ["quarnel_dedup", "quarnel_passages"], 2)
        rows += rows_of(label, results[label])
    table(rows, ["corpus", "engine", "s", "MB/s", "peak B/B", "injected removed",
                 "copy kept / first", "word cuts", "removed overall"])
    for label, timed in results.items():
        if "quarnel_passages" in timed and "quarnel_dedup" in timed:
            ratio = timed["quarnel_dedup"]["seconds"] / timed["quarnel_passages"]["seconds"]
            print(f"{label}: dedup / find_passages time {ratio:.2f}")
        for peer in ("datatrove_sentence", "textdedup_bloom"):
            if peer in timed and "failed" not in timed[peer] and "quarnel_dedup" in timed:
                ratio = timed[peer]["seconds"] / timed["quarnel_dedup"]["seconds"]
                print(f"{label}: quarnel.dedup throughput / {peer}'s: {ratio:.1f}")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / f"dedup-{args.size}-{args.datatrove_size}-{args.large}.json").write_text(
        json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
