"""Scores an engine's output against the injected duplication of a corpus.

What an engine removed is known exactly for quarnel (its spans); for a peer it is read off its
cleaned documents: a missing document was removed whole, a changed one is aligned with its input
token by token (words, runs of white space, single other characters; difflib), and inside a
replaced stretch character by character. Words are quarnel's (runs of ASCII letters and digits
and non-ASCII characters), so every engine is scored on the same words.

- injected removed: the share of the words of the injected copies that were removed;
- keeps a copy: the share of injected groups (a source and its copies) with one copy left whole,
  and the share whose source, the first copy in corpus order, is left whole;
- cuts inside words: ends of removed spans between two word characters (quarnel); for a peer,
  the words of its output that are no word of its input at that place (a fragment of one, or two
  glued);
- removed overall: the share of all words removed (real files repeat a lot on their own).
"""

import difflib
import json
import re

import numpy as np

from dedup_corpus import WORD

LINE = re.compile(r"[^\n]*\n|[^\n]+")
TOKEN = re.compile(r"[0-9A-Za-z\u0080-\U0010ffff]+|\s+|.", re.S)


def _is_word_char(c):
    return c.isascii() and c.isalnum() or not c.isascii()


def _diff(a, b):
    return difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes()


def _removed_from_output(text, out):
    """([(start, end)] removed from text, words of out that are not whole words of text):
    lines aligned first, then tokens inside a changed stretch of lines, then characters inside a
    changed stretch of tokens (tokens alone are slow: white space is in every other one)."""
    if out == text:
        return [], 0
    removed, foreign = [], 0

    def spans(s, pattern):
        return [m.span() for m in pattern.finditer(s)]

    def align(a_at, a_text, b_text, level):
        nonlocal foreign
        pattern = (LINE, TOKEN, None)[level]
        if pattern is None:  # characters
            for op, i1, i2, _, _ in _diff(a_text, b_text):
                if op in ("delete", "replace"):
                    removed.append((a_at + i1, a_at + i2))
            return
        a, b = spans(a_text, pattern), spans(b_text, pattern)
        for op, i1, i2, j1, j2 in _diff([a_text[x:y] for x, y in a], [b_text[x:y] for x, y in b]):
            new = b_text[b[j1][0]:b[j2 - 1][1]] if j2 > j1 else ""
            if op == "equal":
                continue
            if op == "insert":
                foreign += len(WORD.findall(new))
                continue
            old_at, old_end = a[i1][0], a[i2 - 1][1]
            if op == "delete":
                removed.append((a_at + old_at, a_at + old_end))
                continue
            old = a_text[old_at:old_end]
            if level == 1:
                old_words = set(WORD.findall(old))
                foreign += sum(1 for w in WORD.findall(new) if w not in old_words)
            if level == 1 and len(old) * len(new) > 4_000_000:  # too long to align finely
                removed.append((a_at + old_at, a_at + old_end))
            else:
                align(a_at + old_at, old, new, level + 1)

    align(0, text, out, 0)
    return removed, foreign


def _word_states(text, removed):
    """Per word of text: (removed whole, touched by a removal)."""
    places = np.array([m.span() for m in WORD.finditer(text)], np.int64).reshape(-1, 2)
    mark = np.zeros(len(text) + 1, np.int64)
    for s, e in removed:
        mark[s] += 1
        mark[e] -= 1
    gone = np.concatenate([[0], np.cumsum(mark[:-1]) > 0]).astype(np.int64).cumsum()
    inside = gone[places[:, 1]] - gone[places[:, 0]]
    length = places[:, 1] - places[:, 0]
    return places, inside == length, inside > 0


def _cuts(text, removed):
    return sum(1 for s, e in removed for b in (s, e)
               if 0 < b < len(text) and _is_word_char(text[b - 1]) and _is_word_char(text[b]))


def score(texts, injected, removed, cuts=None):
    """`removed[d]` lists the (start, end) stretches removed from document d; `cuts` is the
    number of cuts inside words when it is not read off their ends (a peer's output)."""
    states = [_word_states(t, removed[d]) for d, t in enumerate(texts)]
    total_words = sum(len(p) for p, _, _ in states)
    removed_words = sum(int(g.sum()) for _, g, _ in states)

    def words_in(d, s, e):
        places, gone, touched = states[d]
        lo, hi = np.searchsorted(places[:, 0], s), np.searchsorted(places[:, 1], e, side="right")
        return gone[lo:hi], touched[lo:hi]

    inj_total = inj_removed = 0
    groups = {}
    for k in range(len(injected["kind"])):
        d, s, e = (int(injected[c][k]) for c in ("document", "start", "end"))
        gone, _ = words_in(d, s, e)
        inj_total += len(gone)
        inj_removed += int(gone.sum())
        src = tuple(int(injected[c][k]) for c in ("source_document", "source_start", "source_end"))
        groups.setdefault(src, []).append(not gone.any())
    source_whole = group_whole = 0
    for (d, s, e), copies in groups.items():
        _, touched = words_in(d, s, e)
        source_whole += not touched.any()
        group_whole += (not touched.any()) or any(copies)
    return {
        "injected_removed": inj_removed / max(1, inj_total),
        "keeps_copy": group_whole / max(1, len(groups)),
        "keeps_first": source_whole / max(1, len(groups)),
        "cuts_inside_words": cuts if cuts is not None else
        sum(_cuts(t, removed[d]) for d, t in enumerate(texts)),
        "removed_overall": removed_words / max(1, total_words),
    }


def score_spans(texts, injected, npz):
    spans = np.load(npz)
    removed = [[] for _ in texts]
    for d, s, e in zip(spans["document"].tolist(), spans["start"].tolist(), spans["end"].tolist()):
        removed[d].append((s, e))
    result = score(texts, injected, removed)
    result["texts_agree"] = bool(spans["texts_agree"][0])
    return result


def score_output(texts, injected, path, ids):
    """A peer's cleaned documents (JSON Lines of id and text; `ids` the corpus's in order)."""
    out = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            row = json.loads(line)
            out[row["id"]] = row["text"]
    removed, foreign = [], 0
    for doc_id, text in zip(ids, texts):
        if doc_id not in out:
            removed.append([(0, len(text))])
            continue
        r, f = _removed_from_output(text, out[doc_id])
        removed.append(r)
        foreign += f
    return score(texts, injected, removed, cuts=foreign)
