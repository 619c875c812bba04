"""Documents analysed together: quarnel.find_phrases and quarnel.find_passages over a corpus of
real text split into documents of 2-50 KB, next to the floor (pydivsufsort's divsufsort + kasai
on the concatenated bytes), in the same run.

The corpus is made of the text files this machine ships (Debian copyright files, licences,
documentation, changelogs and NEWS files, compressed or not), cut at line breaks into documents
of 2-50 KB; some licences recur in many of them, as in any real collection. Where the files run
out (about 224 MB here), prose documents fill the size: a word-bigram walk over the words of those
same files, so that the filler repeats phrases about as often as they do; a fifth of the filler
documents share a paragraph with another."""

import argparse
import gzip
import random
import re
from array import array
from pathlib import Path

from datasets import DATA_DIR, MB, walk_words
from harness import run_interleaved, table

SOURCES = ["/usr/share/common-licenses", "/usr/share/doc", "/usr/share/perl", "/usr/lib/python3"]
SEPARATOR = "\x1e"  # between documents in the stored corpus; never inside one


def read_text(path):
    """A text file, or a compressed one (changelogs, NEWS and READMEs in /usr/share/doc)."""
    if path.suffix == ".gz":
        with gzip.open(path) as f:
            return f.read().decode("utf-8")
    if path.name == "copyright" or path.suffix in (".txt", ".rst", ".md", ".pod", ""):
        return path.read_bytes().decode("utf-8")
    return ""


def real_files():
    for root in SOURCES:
        for path in sorted(Path(root).rglob("*")):
            if not path.is_file():
                continue
            try:
                text = read_text(path)
            except (OSError, UnicodeDecodeError, EOFError, gzip.BadGzipFile):
                continue
            if SEPARATOR not in text and len(text) > 500:
                yield text


def split_documents(text, rng):
    """Pieces of 2-50 KB, cut at line breaks."""
    start = 0
    while start < len(text):
        end = min(len(text), start + rng.randint(2_000, 50_000))
        cut = text.rfind("\n", start + 1_000, end)
        end = len(text) if end == len(text) else (cut + 1 if cut > 0 else end)
        yield text[start:end]
        start = end


class BigramWalk:
    """English-like prose from the real files' words: each word is followed by the word after a
    random occurrence of it in those files (now and then by any word). The words are numbered and
    kept in arrays: the files hold tens of millions of them."""

    def __init__(self, texts):
        number, self.words, ids = {}, [], array("I")
        for text in texts:
            for word in re.findall(r"\S+", text):
                k = number.setdefault(word, len(self.words))
                if k == len(self.words):
                    self.words.append(word)
                ids.append(k)
        # The occurrences of each word, grouped: word k's are at[first[k]:first[k + 1]].
        first = array("Q", [0]) * (len(self.words) + 1)
        for k in ids:
            first[k + 1] += 1
        for k in range(len(self.words)):
            first[k + 1] += first[k]
        fill, self.at = array("Q", first), array("Q", [0]) * len(ids)
        for i, k in enumerate(ids):
            self.at[fill[k]] = i
            fill[k] += 1
        self.ids, self.first = ids, first

    def prose(self, size, rng):
        ids, at, first = self.ids, self.at, self.first

        def step(k):
            i = at[first[k] + int(rng.random() * (first[k + 1] - first[k]))] + 1
            return ids[i] if i < len(ids) and rng.random() < 0.97 else ids[rng.randrange(len(ids))]

        start = ids[rng.randrange(len(ids))]
        return walk_words(size, rng, start, self.words.__getitem__, step)[:size]


def corpus(size, seed=7):
    path = DATA_DIR / f"corpus-{size}.txt"
    if path.exists():
        return path
    rng = random.Random(seed)
    docs, total, texts = [], 0, []
    for text in real_files():
        texts.append(text)
        for doc in split_documents(text, rng):
            docs.append(doc)
            total += len(doc.encode())
            if total >= size:
                break
        if total >= size:
            break
    walk = BigramWalk(texts) if total < size else None
    del texts
    while total < size:  # prose in chunks of 16 MB: the generator holds a chunk's words
        pieces = list(split_documents(walk.prose(16 * MB, rng), rng))
        for k, doc in enumerate(pieces):
            if total >= size:
                break
            if k % 5 == 4:  # a paragraph shared with an earlier document
                donor = pieces[rng.randrange(k)]
                at = rng.randrange(max(1, len(donor) - 2_000))
                doc = doc + "\n" + donor[at:at + 2_000]
            docs.append(doc)
            total += len(doc.encode())
    rng.shuffle(docs)
    DATA_DIR.mkdir(exist_ok=True)
    path.write_text(SEPARATOR.join(docs), encoding="utf-8")
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="64,256", help="corpus sizes in MB, comma-separated")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    rows = []
    for size_mb in (int(s) for s in args.sizes.split(",")):
        path = corpus(size_mb * MB)
        documents = path.read_text(encoding="utf-8").count(SEPARATOR) + 1
        timed = run_interleaved({"floor": ("pydss_lcp", None), "phrases": ("quarnel_phrases", None),
                                 "passages": ("quarnel_passages", None)},
                                path, args.rounds, repeats=1)
        floor = timed["floor"]["seconds"]
        size = path.stat().st_size
        for label in ("phrases", "passages"):
            t = timed[label]
            rows.append([f"{size_mb} MB", documents, label, f"{t['seconds']:.2f} s",
                         f"{floor:.2f} s", f"{t['seconds'] / floor:.2f}",
                         f"{t['peak_extra_bytes'] / size:.1f}"])
    table(rows, ["corpus", "documents", "call", "time", "floor", "ratio", "peak B/B"])


if __name__ == "__main__":
    main()
