"""Saved indexes edited behind recomputed checksums, as the documented format allows anyone to:
every load refuses them with ValueError (OSError for what is not a file), and a damage that no
linear check can see makes locate raise instead of looping."""

import struct

import pytest

from quarnel import SuffixArray, _native

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


def sealed_sa(blob):
    blob = bytearray(blob)
    struct.pack_into("<Q", blob, 40, checksum64(bytes(blob[64:])))
    struct.pack_into("<Q", blob, 56, checksum64(bytes(blob[:56])))
    return bytes(blob)


def raise_count_lines(blob):
    """Every level's first count line raised by 2^40."""
    blob = bytearray(blob)
    rows, per_level = struct.unpack_from("<Q", blob, 48)[0], struct.unpack_from("<Q", blob, 72)[0]
    for level in range(8):
        at = HEADER + 64 * (level * per_level + rows // 512 + 1)
        struct.pack_into("<Q", blob, at, struct.unpack_from("<Q", blob, at)[0] + (1 << 40))
    return blob


FM_EDITS = {
    "count lines raised": raise_count_lines,
    "payload zeroed": lambda b: b[:HEADER] + bytes(len(b) - HEADER),
    "rows beyond the file": lambda b: b[:16] + struct.pack("<Q", 1 << 40) + b[24:48]
    + struct.pack("<Q", (1 << 40) + 1) + b[56:],
}


def test_checksum_port_matches_the_saved_form():
    blob = FMIndex(b"abracadabra" * 50).to_bytes()
    assert sealed_fm(blob) == blob


@pytest.mark.parametrize("edit", sorted(FM_EDITS))
def test_fm_index_edits_behind_recomputed_checksums_are_refused(tmp_path, edit):
    blob = sealed_fm(bytes(FM_EDITS[edit](FMIndex(b"abracadabra " * 300).to_bytes())))
    with pytest.raises(ValueError, match="cannot load FM-index from bytes"):
        FMIndex.from_bytes(blob)
    path = tmp_path / "edited.qfm"
    path.write_bytes(blob)
    with pytest.raises(ValueError, match="cannot load FM-index from "):
        FMIndex.load(path)


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


def test_suffix_array_edits_are_refused(tmp_path):
    data = b"mississippi" * 40
    path = tmp_path / "text.qsa"
    SuffixArray(data).save(path)
    good = path.read_bytes()
    edits = {
        "not a permutation": good[:64] + struct.pack("<I", len(data)) + good[68:],
        "file truncated": good[:-4],
        "reserved": good[:50] + b"\x01" + good[51:],
    }
    for problem, blob in edits.items():
        path.write_bytes(sealed_sa(blob))
        with pytest.raises(ValueError, match=problem):
            SuffixArray.load(path, data)
    with pytest.raises(OSError):
        SuffixArray.load(tmp_path, data)
    with pytest.raises(OSError):
        FMIndex.load(tmp_path)
