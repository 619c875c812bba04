import random
import re

import pytest


@pytest.fixture
def rng():
    return random.Random(20261206)


def brute_suffix_array(data):
    return sorted(range(len(data)), key=lambda i: data[i:])


def random_bytes(rng, n, alphabet=b"ab\x00\xff"):
    return bytes(rng.choice(alphabet) for _ in range(n))


def line_column(text, index):
    """1-based line and column (characters) of text[index], lines split at line feeds."""
    return text.count("\n", 0, index) + 1, index - (text.rfind("\n", 0, index) + 1) + 1


def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.type, str(info.value)


# Unicode's White_Space characters, which the finder's phrases are normalised over.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
WHITE_SPACE += "\u2028\u2029\u202f\u205f\u3000"
NON_WHITE = re.compile(f"[^{WHITE_SPACE}]+")


def normalised(text):
    return " ".join(NON_WHITE.findall(text))


# A phrase of four words, twice: the smallest text the default limits find something in.
BASE = "alpha beta gamma delta and alpha beta gamma delta"
BASE_GROUP = dict(phrase="alpha beta gamma delta", count=2, string_length=22, number_of_words=4)
BASE_RESULT = [dict(BASE_GROUP, occurrences=[{"start": 0, "end": 22}, {"start": 27, "end": 49}])]
REPEAT = " ".join(f"w{i}x" for i in range(60))  # sixty words: max_words and blocks change it

COLLAPSIBLE = b"\t\n\x0c\r "


def collapse_ascii_whitespace(t):
    """Runs of the five ASCII white-space bytes made one space, none at either end, with the
    byte ranges removed (a trailing run's first byte last)."""
    out, removed = bytearray(), []
    for m in re.finditer(rb"[\t\n\x0c\r ]+|[^\t\n\x0c\r ]+", t):
        s, e = m.span()
        if t[s] not in COLLAPSIBLE:
            out += m.group()
        elif s == 0:
            removed.append((0, e))
        else:
            out.append(0x20)
            removed += [(s + 1, e)] if e > s + 1 else []
    if out.endswith(b" "):
        out.pop()
        removed.append((s, s + 1))
    return bytes(out), removed
