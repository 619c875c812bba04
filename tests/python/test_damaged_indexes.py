"""Saved FM-indexes edited behind recomputed checksums, as the documented format allows anyone to:
the engine refuses each class of edit (fm_index_saved_test.cpp, and suffix_index_test.cpp for
suffix arrays); here the documented checksum is the one written, an edit is refused as
ValueError by both loads, and a damage that no linear check can see makes locate raise."""

import struct

import pytest

from quarnel import _native

FMIndex = _native.FMIndex
M64 = (1 << 64) - 1
P1, P2 = 0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F
HEADER = 2368


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
    tail, i = data[full:], 0
    for i in range(0, len(tail) // 8 * 8, 8):
        h = (rotl(h ^ mix(0, struct.unpack_from("<Q", tail, i)[0]), 27) * P1 + P2) & M64
    for byte in tail[len(tail) // 8 * 8:]:
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
    path = tmp_path / "edited.qfm"
    path.write_bytes(blob)
    for load, origin in ((lambda: FMIndex.from_bytes(blob), "bytes"), (lambda: FMIndex.load(path), path)):
        with pytest.raises(ValueError) as caught:
            load()  # the checksums hold, so only a structural check can refuse it
        assert str(caught.value) == f"cannot load FM-index from {origin}: inconsistent index data (summary of level 1)"


def test_locate_over_a_cycle_without_samples_raises(rng):
    """Bits moved inside one block of the first level pass every load check but break the LF
    mapping's single cycle; some walk then never meets a sample."""
    data = bytes(rng.choice(b"\x01\x81") for _ in range(4000))
    good = FMIndex(data, locate_level=4).to_bytes()
    raised = 0
    for _ in range(30):
        blob = bytearray(good)
        for _ in range(8):
            p = rng.randrange(512)
            q = rng.randrange(512)
            bp, bq = (blob[HEADER + p // 8] >> p % 8) & 1, (blob[HEADER + q // 8] >> q % 8) & 1
            for pos, bit in ((p, bq), (q, bp)):
                blob[HEADER + pos // 8] = blob[HEADER + pos // 8] & ~(1 << pos % 8) | bit << pos % 8
        index = FMIndex.from_bytes(sealed_fm(bytes(blob)))
        try:
            positions = index.locate(b"\x01")
        except ValueError as e:
            assert str(e) == "index is damaged"
            raised += 1
        else:
            assert all(p <= len(data) for p in positions.tolist())
    assert raised > 0
