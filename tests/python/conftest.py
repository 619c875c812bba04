import random

import pytest


@pytest.fixture
def rng():
    return random.Random(20261206)


def brute_suffix_array(data):
    return sorted(range(len(data)), key=lambda i: data[i:])


def random_bytes(rng, n, alphabet=b"ab\x00\xff"):
    return bytes(rng.choice(alphabet) for _ in range(n))
