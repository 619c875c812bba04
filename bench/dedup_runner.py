"""Runs one cleaning engine on one corpus folder in a fresh process (the project's Python for
quarnel, a peer's venv under bench/.peers for the peers) and prints JSON: the best time of the
repeats and the peak resident memory added on top of what was loaded before the timed part
(for quarnel the documents as str; a peer reads its input files inside the timed part, as its
pipeline does). Memory is the process and all its children, sampled every 20 ms, and this
process's own high-water mark. The first repeat's output is left in OUT for scoring: the removed
spans (quarnel.dedup) or the cleaned documents as JSON Lines (every other engine).

    python dedup_runner.py TASK CORPUS_FOLDER OUT REPEATS
"""

import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The bench's own datasets.py would shadow Hugging Face's, which the peers import.
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != HERE]


def _rss(pid):
    try:
        with open(f"/proc/{pid}/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize()
    except (OSError, IndexError):
        return 0


def tree_rss(root):
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    total, todo = 0, [root]
    while todo:
        pid = todo.pop()
        total += _rss(pid)
        todo.extend(children.get(pid, ()))
    return total


def own_peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


class PeakSampler:
    def __init__(self):
        self.baseline = tree_rss(os.getpid())
        with open("/proc/self/clear_refs", "w") as f:  # resets VmHWM
            f.write("5")
        self.peak, self._stop = self.baseline, threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.wait(0.02):
            self.peak = max(self.peak, tree_rss(os.getpid()))

    def stop(self):
        self._stop.set()
        self._thread.join()
        return max(0, max(self.peak, own_peak()) - self.baseline)


def read_texts(folder):
    with open(folder / "corpus.jsonl", encoding="utf-8") as f:
        return [json.loads(line)["text"] for line in f]


def write_jsonl(path, rows):
    with open(path, "w", encoding="utf-8") as f:
        for doc_id, text in rows:
            f.write(json.dumps({"id": doc_id, "text": text}, ensure_ascii=False) + "\n")


# Each task: prepare(folder, work) -> (run, save); run() is timed, save(out) keeps its output.

def quarnel_dedup(folder, work):
    import numpy as np
    import quarnel
    texts = read_texts(folder)
    kept = {}

    def run():
        kept.pop("r", None)  # the last repeat's result is not held during the next
        kept["r"] = quarnel.dedup(texts)

    def save(out):
        r = kept["r"]
        s = r.spans
        # The cleaned texts must be the documents less their spans.
        cut = [[] for _ in texts]
        for d, a, b in zip(s.document.tolist(), s.start.tolist(), s.end.tolist()):
            cut[d].append((a, b))
        agree = True
        for d, text in enumerate(texts):
            pieces, at = [], 0
            for a, b in cut[d]:
                pieces.append(text[at:a])
                at = b
            pieces.append(text[at:])
            agree &= "".join(pieces) == r.texts[d]
        np.savez(out, document=s.document, start=s.start, end=s.end, why=s.why,
                 kept_document=s.kept_document, kept_start=s.kept_start,
                 texts_agree=np.array([agree]))
    return run, save


def quarnel_passages(folder, work):
    import quarnel
    texts = read_texts(folder)
    return (lambda: quarnel.find_passages(texts, min_words=50)), (lambda out: None)


def quarnel_cli(folder, work):
    """File to file, as the peers run: JSON Lines in, JSON Lines out."""
    quarnel = Path(sys.executable).parent / "quarnel"
    out_file = work / "out.jsonl"

    def run():
        subprocess.run([str(quarnel), "dedup", str(folder / "corpus.jsonl"), "-o", str(out_file),
                        "-q"], check=True)

    return run, lambda out: shutil.copy(out_file, out)


def datatrove_sentence(folder, work):
    """datatrove's three SentenceDedup steps with their defaults, on the local executor."""
    from datatrove.executor.local import LocalPipelineExecutor
    from datatrove.pipeline.dedup.sentence_dedup import (SentDedupConfig, SentenceDedupFilter,
                                                         SentenceDedupSignature,
                                                         SentenceFindDedups)
    from datatrove.pipeline.readers import JsonlReader
    from datatrove.pipeline.writers import JsonlWriter
    source = work / "in"
    source.mkdir()
    os.symlink(folder / "corpus.jsonl", source / "corpus.jsonl")

    def run():
        for sub in ("sigs", "dups", "out", "logs"):
            shutil.rmtree(work / sub, ignore_errors=True)
        config = SentDedupConfig()
        LocalPipelineExecutor(pipeline=[JsonlReader(str(source)), SentenceDedupSignature(
            output_folder=str(work / "sigs"), config=config)],
            logging_dir=str(work / "logs" / "1")).run()
        LocalPipelineExecutor(pipeline=[SentenceFindDedups(
            data_folder=str(work / "sigs"), output_folder=str(work / "dups"), config=config)],
            logging_dir=str(work / "logs" / "2")).run()
        LocalPipelineExecutor(pipeline=[JsonlReader(str(source)), SentenceDedupFilter(
            data_folder=str(work / "dups"), config=config),
            JsonlWriter(str(work / "out"), compression=None)],
            logging_dir=str(work / "logs" / "3")).run()

    def save(out):
        rows = []
        for path in sorted((work / "out").glob("*.jsonl")):
            with open(path, encoding="utf-8") as f:
                rows.extend((d["id"], d["text"]) for d in map(json.loads, f))
        write_jsonl(out, rows)
    return run, save


_TEXT_DEDUP_CONFIG = """
[input]
input_type = "local_files"
file_type = "json"

[input.read_arguments]
path = "json"
data_files = "{data}"
split = "train"

[algorithm]
algorithm_name = "{name}"
text_column = "text"
{algorithm}

[output]
output_dir = "{output}"

[debug]
enable_profiling = false
"""


def _text_dedup(name, algorithm):
    def prepare(folder, work):
        (work / "config.toml").write_text(_TEXT_DEDUP_CONFIG.format(
            data=folder / "corpus.jsonl", name=name, algorithm=algorithm(folder),
            output=work / "output"))
        # A fresh cache each time: otherwise the second run reads the corpus already in Arrow.
        env = dict(os.environ, HF_DATASETS_CACHE=str(work / "cache"), HF_DATASETS_OFFLINE="1")

        def run():
            shutil.rmtree(work / "cache", ignore_errors=True)
            shutil.rmtree(work / "output", ignore_errors=True)
            proc = subprocess.run([sys.executable, "-m", f"text_dedup.{name}"], cwd=work, env=env,
                                  capture_output=True, text=True)
            if proc.returncode != 0:
                raise SystemExit(f"text_dedup.{name} failed:\n{proc.stderr[-3000:]}")

        def save(out):
            import datasets
            ds = datasets.load_from_disk(str(work / "output"))
            write_jsonl(out, zip(ds["id"], ds["text"]))
        return run, save
    return prepare


def _documents(folder):
    with open(folder / "corpus.jsonl", "rb") as f:
        return sum(1 for _ in f)


TASKS = {
    "quarnel_dedup": quarnel_dedup,
    "quarnel_passages": quarnel_passages,
    "quarnel_cli": quarnel_cli,
    "datatrove_sentence": datatrove_sentence,
    # Its documented settings for the filter: an error rate of 1e-5, sized for the corpus.
    "textdedup_bloom": _text_dedup("bloom_filter", lambda folder: (
        f"error_rate = 1e-5\nmax_elements = {max(100_000, 2 * _documents(folder))}")),
    "textdedup_suffix_array": _text_dedup("suffix_array", lambda folder: ""),
}


def main():
    task, folder, out, repeats = sys.argv[1], Path(sys.argv[2]).resolve(), sys.argv[3], \
        int(sys.argv[4])
    with tempfile.TemporaryDirectory(dir=HERE / ".data") as tmp:
        run, save = TASKS[task](folder, Path(tmp))
        best, peak = float("inf"), 0
        for k in range(repeats):
            sampler = PeakSampler()
            start = time.perf_counter()
            run()
            best = min(best, time.perf_counter() - start)
            peak = max(peak, sampler.stop())
            if k == 0:
                save(out)
    print(json.dumps({"seconds": best, "peak_extra_bytes": peak}))


if __name__ == "__main__":
    main()
