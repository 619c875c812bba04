import random

import pytest


@pytest.fixture
def rng():
    return random.Random(20261206)


def brute_suffix_array(data):
    return sorted(range(len(data)), key=lambda i: data[i:])


def random_bytes(rng, n, alphabet=b"ab\x00\xff"):
    return bytes(rng.choice(alphabet) for _ in range(n))


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
