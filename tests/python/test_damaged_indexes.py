"""Saved FM-indexes edited behind recomputed checksums, as the documented format allows anyone to:
the engine refuses each class of edit (fm_index_saved_test.cpp, and suffix_index_test.cpp for
suffix arrays); here the documented checksum is the one written, an edit is refused as
ValueError by both loads, and a damage that no linear check can see makes locate raise."""

import struct

import pytest

from conftest import random_bytes
from quarnel._native import FMIndex

M64, HEADER = (1 << 64) - 1, 2368
P1, P2 = 0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F


def rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & M64


def mix(lane, word):
    return rotl((lane + word * P2) & M64, 31) * P1 & M64


def checksum64(data):
    """The saved forms' checksum, as the README describes it."""
    lanes = [0x243F6A8885A308D3, 0x13198A2E03707344, 0xA4093822299F31D0, 0x082EFA98EC4E6C89]
    full = len(data) // 32 * 32
    for k, word in enumerate(struct.unpack(f"<{full // 8}Q", data[:full])):
        lanes[k % 4] = mix(lanes[k % 4], word)
    h = (rotl(lanes[0], 1) + rotl(lanes[1], 7) + rotl(lanes[2], 12) + rotl(lanes[3], 18)) & M64
    for lane in lanes:
        h = ((h ^ mix(0, lane)) * P1 + P2) & M64
    tail, words = data[full:], len(data[full:]) // 8
    for (word,) in struct.iter_unpack("<Q", tail[: words * 8]):
        h = (rotl(h ^ mix(0, word), 27) * P1 + P2) & M64
    for byte in tail[words * 8 :]:
        h = rotl(h ^ (byte * P2 & M64), 11) * P1 & M64
    h ^= len(data)
    h = (h ^ (h >> 33)) * P2 & M64
    h = (h ^ (h >> 29)) * P1 & M64
    return h ^ (h >> 32)


def sealed_fm(blob):
    blob = bytearray(blob)
    struct.pack_into("<Q", blob, 88, checksum64(bytes(blob[HEADER:])))
    struct.pack_into("<Q", blob, 2360, checksum64(bytes(blob[:2360])))
    return bytes(blob)


def test_checksum_port_matches_the_saved_form():
    blob = FMIndex(b"abracadabra" * 50).to_bytes()
    assert sealed_fm(blob) == blob


def test_fm_index_edit_behind_recomputed_checksums_is_refused(tmp_path):
    good = FMIndex(b"abracadabra " * 300).to_bytes()
    blob = sealed_fm(good[:HEADER] + bytes(len(good) - HEADER))  # the payload zeroed
    (tmp_path / "edited.qfm").write_bytes(blob)
    loads = [(lambda: FMIndex.from_bytes(blob), "bytes")]
    loads += [(lambda: FMIndex.load(tmp_path / "edited.qfm"), tmp_path / "edited.qfm")]
    for load, origin in loads:
        with pytest.raises(ValueError) as caught:
            load()  # the checksums hold, so only a structural check can refuse it
        problem = "inconsistent index data (summary of level 1)"
        assert str(caught.value) == f"cannot load FM-index from {origin}: {problem}"


def test_locate_over_a_cycle_without_samples_raises(rng):
    """Bits moved inside one block of the first level pass every load check but break the LF
    mapping's single cycle; some walk then never meets a sample."""
    data = random_bytes(rng, 4000, b"\x01\x81")
    good, raised = FMIndex(data, locate_level=4).to_bytes(), 0
    bit = lambda blob, pos: (blob[HEADER + pos // 8] >> pos % 8) & 1  # noqa: E731
    for _ in range(30):
        blob = bytearray(good)
        for _ in range(8):
            p, q = rng.randrange(512), rng.randrange(512)
            for pos, value in ((p, bit(blob, q)), (q, bit(blob, p))):
                at = HEADER + pos // 8
                blob[at] = blob[at] & ~(1 << pos % 8) | value << pos % 8
        try:
            positions = FMIndex.from_bytes(sealed_fm(bytes(blob))).locate(b"\x01")
        except ValueError as e:
            assert str(e) == "index is damaged"
            raised += 1
        else:
            assert all(p <= len(data) for p in positions.tolist())
    assert raised > 0
