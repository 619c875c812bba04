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
    """Whitespace collapsing of the five ASCII white-space bytes, with the removed byte ranges."""
    out, removed = bytearray(), []
    k = 0
    while k < len(t) and t[k] in COLLAPSIBLE:
        k += 1
    if k:
        removed.append((0, k))
    i, in_run, last_space = k, False, 0
    while i < len(t):
        if t[i] not in COLLAPSIBLE:
            out.append(t[i])
            in_run = False
            i += 1
        elif not in_run:
            out.append(0x20)
            last_space, in_run = i, True
            i += 1
        else:
            j = i
            while j < len(t) and t[j] in COLLAPSIBLE:
                j += 1
            removed.append((i, j))
            i = j
    if out and out[-1] == 0x20:
        out.pop()
        removed.append((last_space, last_space + 1))
    return bytes(out), removed
