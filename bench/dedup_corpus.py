"""A corpus for the cleaning benchmarks: this machine's real text files cut into documents, with
duplication injected at known places.

Sources, in this order until the size is reached: licences, /usr/share/doc (copyright files,
changelogs, NEWS, READMEs, compressed or not), man pages (decompressed troff), the running
Python's standard library (.py and .txt), C headers, Perl and Vim's runtime files, then the
other Python installations' libraries. Only files that decode as UTF-8. Past what the machine
holds (about 680 MB here) prose fills the size: a word-bigram walk over the words of the first
32 MB of those files (bench_corpus's filler). Files are cut at line
breaks into documents of 2-50 KB and the documents shuffled (seeded).

Injected, each copy placed in a document after its source in corpus order, so that the source
is the first copy:
- whole documents: 1 % of the documents are copied once or twice as new documents;
- paragraphs: from 4 % of the documents a run of whole lines of 60-300 words is copied into
  one to three later documents, at a line break;
- boilerplate: 8 blocks of 60-150 words, each pasted at the start or the end of 2 % of the
  documents after its source.
A source is taken only where none of its 20-word runs (words as quarnel counts them) occurs
anywhere else in the corpus before injection, and no document is both a source and a target:
so each source is exactly the first copy of what was injected, and the words of every copy lie
in windows of at least 50 words repeated from the source.

Stored under bench/.data/dedup-<MB>/: corpus.jsonl ({"id", "text"} per line, corpus order) and
injected.json (columns: kind, document, start, end, source_document, source_start, source_end;
str offsets into the documents as stored, the copy's text equal to the source's)."""

import argparse
import gzip
import json
import os
import random
import re
import sys
from pathlib import Path

import numpy as np

from bench_corpus import BigramWalk, split_documents
from datasets import DATA_DIR, MB

# quarnel's words: runs of ASCII letters and digits and non-ASCII characters.
WORD = re.compile(r"[0-9A-Za-z\u0080-\U0010ffff]+")
UNIQUE_RUN = 20  # words: a source has no run this long that occurs elsewhere

_PY = Path(sys.base_prefix) / "lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}"
SOURCES = [
    ("/usr/share/common-licenses", None),
    ("/usr/share/doc", None),
    ("/usr/share/man", (".gz",)),
    (str(_PY), (".py", ".txt")),
    ("/usr/include", (".h", ".hpp")),
    ("/usr/share/perl", (".pm", ".pod")),
    ("/usr/share/vim", (".vim", ".txt")),
    (str(Path(sys.base_prefix).parent), (".py", ".txt")),  # other Python installations
]
PLAIN = {".txt", ".rst", ".md", ".pod", ""}


def _read(path, suffixes):
    if suffixes is not None and path.suffix not in suffixes:
        return ""
    if path.suffix == ".gz":
        with gzip.open(path) as f:
            return f.read().decode("utf-8")
    if suffixes is None and path.name != "copyright" and path.suffix not in PLAIN:
        return ""
    return path.read_bytes().decode("utf-8")


def real_files():
    """Each file once (the last source walks what an earlier one did: skipped by its path)."""
    seen = set()
    for root, suffixes in SOURCES:
        for path in sorted(Path(root).rglob("*")):
            real = os.path.realpath(path)
            if real in seen or "site-packages" in path.parts or not path.is_file():
                continue
            seen.add(real)
            try:
                text = _read(path, suffixes)
            except (OSError, UnicodeDecodeError, EOFError, gzip.BadGzipFile):
                continue
            if len(text) > 500 and "\x00" not in text:
                yield text


def base_documents(size, rng):
    docs, total, sample = [], 0, []
    for text in real_files():
        if sum(map(len, sample)) < 32 * MB:
            sample.append(text)
        for doc in split_documents(text, rng):
            docs.append(doc)
            total += len(doc.encode())
        if total >= size:
            break
    walk = BigramWalk(sample) if total < size else None
    del sample
    while total < size:  # past the machine's files (about 680 MB here): prose from their words
        for doc in split_documents(walk.prose(16 * MB, rng), rng):
            docs.append(doc)
            total += len(doc.encode())
    rng.shuffle(docs)
    return docs


def _run_hashes(words):
    """A hash of every run of UNIQUE_RUN consecutive words (uint64 arithmetic wraps)."""
    ids = np.fromiter((hash(w) for w in words), dtype=np.int64, count=len(words)).view(np.uint64)
    n = len(ids) - UNIQUE_RUN + 1
    if n <= 0:
        return np.empty(0, np.uint64)
    h = np.zeros(n, np.uint64)
    with np.errstate(over="ignore"):
        for j in range(UNIQUE_RUN):
            h = h * np.uint64(1_000_003) + ids[j:j + n]
    return h


class Words:
    """Word places of every document and which word runs are unique in the corpus."""

    def __init__(self, docs):
        self.places, hashes = [], []
        for doc in docs:
            spans = [(m.start(), m.end(), m.group()) for m in WORD.finditer(doc)]
            self.places.append(np.array([(a, b) for a, b, _ in spans], np.int64).reshape(-1, 2))
            hashes.append(_run_hashes([w for _, _, w in spans]))
        flat = np.concatenate(hashes)
        values, counts = np.unique(flat, return_counts=True)
        unique = ~np.isin(flat, values[counts > 1])
        self.unique = np.split(unique, np.cumsum([len(h) for h in hashes])[:-1])

    def unique_range(self, d, first, last):
        """Whether words first..last-1 of document d hold no run repeated elsewhere."""
        if last - first < UNIQUE_RUN:
            return False
        return bool(self.unique[d][first:last - UNIQUE_RUN + 1].all())


def _line_passage(doc, places, rng, low, high):
    """(start, end, words) of a run of whole lines from a random line with low..high words."""
    starts = [0] + [m.end() for m in re.finditer("\n", doc) if m.end() < len(doc)]
    line = starts[rng.randrange(len(starts))]
    first = int(np.searchsorted(places[:, 0], line))
    want = rng.randint(low, high)
    if first + want > len(places):
        return None
    end = doc.find("\n", int(places[first + want - 1, 1]))
    end = len(doc) if end < 0 else end + 1
    last = int(np.searchsorted(places[:, 0], end))
    return (line, end, first, last) if last - first <= high * 2 else None


def inject(docs, rng):
    n = len(docs)
    words = Words(docs)
    role = [None] * n  # "source" or "target"
    inserts = {}  # target -> [(position, text, record)]
    new_docs = {}  # source -> number of whole copies
    records = []

    def take_source(pred, tries=200, below=None):
        for _ in range(tries):
            d = rng.randrange(below or n)
            if role[d] is None and d < n - 1 and pred(d):
                role[d] = "source"
                return d
        return None

    def targets(after, count):
        picked = set()
        for _ in range(count * 20):
            t = rng.randrange(after + 1, n)
            if role[t] != "source":
                picked.add(t)
                role[t] = "target"
            if len(picked) == count:
                break
        return sorted(picked)

    for _ in range(n // 100):  # whole documents
        d = take_source(lambda d: len(words.places[d]) >= 50
                        and words.unique_range(d, 0, len(words.places[d])))
        if d is not None:
            new_docs[d] = rng.randint(1, 2)

    for _ in range(n * 4 // 100):  # paragraphs
        chosen = {}

        def paragraph(d):
            if len(words.places[d]) < 80:
                return False
            p = _line_passage(docs[d], words.places[d], rng, 60, 300)
            if p is None or not words.unique_range(d, p[2], p[3]):
                return False
            chosen["p"] = p
            return True

        d = take_source(paragraph, tries=20)
        if d is None:
            continue
        start, end = chosen["p"][:2]
        for t in targets(d, rng.randint(1, 3)):
            lines = [0] + [m.end() for m in re.finditer("\n", docs[t])] + [len(docs[t])]
            inserts.setdefault(t, []).append((rng.choice(lines), "paragraph", d, start, end))

    for _ in range(8):  # boilerplate
        chosen = {}

        def block(d):
            p = _line_passage(docs[d], words.places[d], rng, 60, 150)
            if p is None or not words.unique_range(d, p[2], p[3]):
                return False
            chosen["p"] = p
            return True

        d = take_source(block, tries=2000, below=max(2, n // 10))
        if d is None:
            continue
        start, end = chosen["p"][:2]
        at_end = rng.random() < 0.5
        for t in targets(d, max(1, n // 50)):
            inserts.setdefault(t, []).append((len(docs[t]) if at_end else 0, "boilerplate", d,
                                              start, end))

    # The final order: each whole copy goes after its source, at a random later place.
    order = [("base", d) for d in range(n)]
    for d, copies in sorted(new_docs.items()):
        for _ in range(copies):
            order.insert(rng.randrange(order.index(("base", d)) + 1, len(order) + 1), ("copy", d))
    final_of = {d: i for i, (kind, d) in enumerate(order) if kind == "base"}

    texts = []
    for i, (kind, d) in enumerate(order):
        if kind == "copy":
            texts.append(docs[d])
            records.append(("document", i, 0, len(docs[d]), final_of[d], 0, len(docs[d])))
            continue
        text, pieces, shift = docs[d], [], 0
        cursor = 0
        for pos, what, src, s_start, s_end in sorted(inserts.get(d, []), key=lambda x: x[0]):
            block = docs[src][s_start:s_end]
            if not block.endswith("\n"):
                block += "\n"
            lead = "\n" if pos > 0 and text[pos - 1] != "\n" else ""
            pieces.append(text[cursor:pos])
            at = pos + shift + len(lead)
            pieces.append(lead + block)
            shift += len(lead) + len(block)
            cursor = pos
            records.append((what, i, at, at + (s_end - s_start), final_of[src], s_start, s_end))
        pieces.append(text[cursor:])
        texts.append("".join(pieces))
    return texts, records


def corpus(size_mb, seed=34):
    """The folder of the corpus of about `size_mb` MB, built on first use."""
    folder = DATA_DIR / f"dedup-{size_mb}"
    if (folder / "injected.json").exists():
        return folder
    rng = random.Random(seed)
    docs = base_documents(int(size_mb * MB * 0.965), rng)
    texts, records = inject(docs, rng)
    folder.mkdir(parents=True, exist_ok=True)
    with open(folder / "corpus.jsonl.tmp", "w", encoding="utf-8") as f:
        for i, text in enumerate(texts):
            f.write(json.dumps({"id": f"{i:07d}", "text": text}, ensure_ascii=False) + "\n")
    os.replace(folder / "corpus.jsonl.tmp", folder / "corpus.jsonl")
    names = ["kind", "document", "start", "end", "source_document", "source_start", "source_end"]
    columns = {k: [r[j] for r in records] for j, k in enumerate(names)}
    (folder / "injected.json").write_text(json.dumps(columns))
    return folder


def load(folder):
    """(texts, injected columns as NumPy arrays, kind as a list)."""
    with open(Path(folder) / "corpus.jsonl", encoding="utf-8") as f:
        texts = [json.loads(line)["text"] for line in f]
    columns = json.loads((Path(folder) / "injected.json").read_text())
    injected = {k: (v if k == "kind" else np.array(v, np.int64)) for k, v in columns.items()}
    return texts, injected


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="256", help="corpus sizes in MB, comma-separated")
    args = parser.parse_args()
    for size in (int(s) for s in args.sizes.split(",")):
        folder = corpus(size)
        texts, injected = load(folder)
        kinds = {k: injected["kind"].count(k) for k in ("document", "paragraph", "boilerplate")}
        chars = int((injected["end"] - injected["start"]).sum())
        print(f"{folder}: {len(texts)} documents, "
              f"{(folder / 'corpus.jsonl').stat().st_size / MB:.1f} MB of JSONL, injected copies "
              f"{kinds}, {chars / sum(map(len, texts)):.1%} of the characters")


if __name__ == "__main__":
    main()
