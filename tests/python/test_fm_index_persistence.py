"""FMIndex that lasts: save/load, to_bytes/from_bytes and pickling, and batch queries.

A restored index must answer exactly as the one it came from; every damaged saved form must be
refused with ValueError, never load into a crash or a wrong answer. Batches large enough for two
threads, and the refusal of sealed edits: fm_index_saved_test.cpp.
"""

import copy
import multiprocessing
import pickle

import numpy as np
import pytest

from conftest import random_bytes
from quarnel._native import FMIndex

PROBES = [b"a", b"ab", b"ba", b"abc", b"\x00", b"c\x00", b"zz", b"b a", b"A", b""]
FLAG_SETS = [{}, {"locate_level": 0}, {"locate_level": 5}, {"case_insensitive": True}]
FLAG_SETS += [{"normalize_whitespace": True, "locate_level": 3}]


def answers(index):
    queries = [(index.count(p), index.locate(p).tolist()) for p in PROBES]
    return queries + [len(index), index.heap_size()]


def build(rng, n=2000, **flags):
    return FMIndex(random_bytes(rng, n, b"abc A\t"), **flags)


@pytest.mark.parametrize("flags", FLAG_SETS)
def test_round_trips_answer_alike_and_batches_as_one_at_a_time(rng, tmp_path, flags):
    index, path = build(rng, **flags), tmp_path / "index.qfm"
    index.save(path)
    loaded = FMIndex.load(path)
    assert answers(loaded) == answers(index) and repr(loaded) == repr(index)
    assert answers(FMIndex.from_bytes(index.to_bytes())) == answers(index)
    assert path.read_bytes() == index.to_bytes()
    patterns = PROBES + [random_bytes(rng, rng.randint(1, 4), b"abc ") for _ in range(300)]
    counts = index.count_many(patterns)
    assert counts.dtype == np.uint64 and counts.tolist() == [index.count(p) for p in patterns]
    positions, offsets = index.locate_many(patterns)
    assert offsets.tolist()[0] == 0 and len(offsets) == len(patterns) + 1
    for k, p in enumerate(patterns):
        assert positions[offsets[k] : offsets[k + 1]].tolist() == index.locate(p).tolist()


@pytest.mark.parametrize("data", [b"", b"a", b"abab", None])
def test_pickle_of_every_protocol_deepcopy_and_a_spawned_process_answer_alike(rng, data):
    index = build(rng, case_insensitive=True) if data is None else FMIndex(data)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert answers(pickle.loads(pickle.dumps(index, protocol))) == answers(index)
    assert answers(copy.deepcopy(index)) == answers(index)
    if data is None:  # and in a spawned process
        spawned = build(rng, normalize_whitespace=True)
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            assert pool.map(answers, [spawned]) == [answers(spawned)]


def damaged_forms(good):
    """Truncations at many lengths and single-bit flips spread over the whole form."""
    for cut in sorted({0, 1, 7, 8, 100, 2367, 2368, 2369, len(good) // 2, len(good) - 1}):
        yield "truncated", good[:cut]
    yield "trailing data", good + b"\x00"
    for byte in [*range(0, 2368, 13), *range(2368, len(good), max(1, len(good) // 400))]:
        damaged = bytearray(good)
        damaged[byte] ^= 1 << (byte % 8)
        yield "flip", bytes(damaged)


def test_every_damaged_form_is_refused(rng, tmp_path):
    good, path = build(rng, n=5000, normalize_whitespace=True).to_bytes(), tmp_path / "index.qfm"
    for problem, content in damaged_forms(good):
        with pytest.raises(ValueError, match="cannot load FM-index from bytes") as caught:
            FMIndex.from_bytes(content)
        assert problem == "flip" or problem.split()[0] in str(caught.value)
        path.write_bytes(content)
        with pytest.raises(ValueError, match="cannot load FM-index from " + str(path)):
            FMIndex.load(path)


def test_foreign_and_missing_files_are_refused(tmp_path):
    (tmp_path / "other.bin").write_bytes(b"\x89PNG" + bytes(4000))
    with pytest.raises(ValueError, match="wrong magic"):
        FMIndex.load(tmp_path / "other.bin")
    with pytest.raises(FileNotFoundError):
        FMIndex.load(tmp_path / "missing.qfm")
    with pytest.raises(OSError):
        FMIndex.load(tmp_path)
    with pytest.raises(TypeError, match="^argument 'data'"):
        FMIndex.from_bytes("text")


def test_batch_arguments_are_checked():
    index = FMIndex(b"abc")
    with pytest.raises(TypeError, match="^argument 'patterns': "):
        index.count_many(b"abc")
    with pytest.raises(TypeError, match="^argument 'patterns': 'int' object"):
        index.locate_many([b"a", 3])
    assert index.count_many([]).tolist() == []
    positions, offsets = index.locate_many([])
    assert positions.tolist() == [] and offsets.tolist() == [0]
