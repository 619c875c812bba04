#!/usr/bin/env python3
"""Compare our FM-index with sdsl-lite's csa_wt on the same generated data.

Builds bench_fm_index (CMake, Release) and sdsl_bench (g++ -O3 -march=native), generates
deterministic English-like, DNA-like and random-byte texts without 0x00 plus patterns sampled from
them, runs both programs on every text and prints one table per text: construction speed, bytes
per text byte at sampling level 2, count time per pattern and locate time per occurrence at levels
0..5, with our figure, sdsl's figure and the ratio ours / sdsl. The checksums of both programs must
agree; a mismatch is reported as an error. The machine may be shared, so each program runs several
times, alternating with the other, and the best figure of each line is kept.

    bench/fm_index/run.py [--sizes 8,64] [--texts english,dna,random] [--runs 3] [--work DIR]
"""

import argparse
import random
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
MIB = 1 << 20
COUNT_LENGTHS = (4, 16, 64)
COUNT_PATTERNS = 20000
LOCATE_LENGTH = 8
LOCATE_PATTERNS = 20000
LOCATE_LIMIT = 100000


def english_like(size: int, rng: random.Random) -> bytes:
    """Sentences of Zipf-distributed pseudo-words built from common syllables."""
    onsets = ["", "b", "c", "d", "f", "g", "h", "l", "m", "n", "p", "r", "s", "t", "w", "th",
              "st", "br", "ch", "sh", "pr", "tr", "gr"]
    vowels = ["a", "e", "i", "o", "u", "ea", "ou", "io", "ai", "ee"]
    codas = ["", "", "n", "r", "s", "t", "d", "l", "ng", "st", "nd", "ck"]
    vocab = set(["the", "of", "and", "to", "a", "in", "is", "that", "it", "was", "for", "on"])
    while len(vocab) < 6000:
        word = "".join(rng.choice(onsets) + rng.choice(vowels) + rng.choice(codas)
                       for _ in range(rng.choice((1, 1, 2, 2, 2, 3))))
        vocab.add(word)
    vocab = sorted(vocab, key=len)
    rng.shuffle(vocab)
    weights = [1.0 / (rank + 1) for rank in range(len(vocab))]
    out = []
    total = 0
    while total < size:
        words = rng.choices(vocab, weights=weights, k=rng.randint(5, 22))
        words[0] = words[0].capitalize()
        for k in range(1, len(words) - 1):
            if rng.random() < 0.06:
                words[k] += ","
        sentence = " ".join(words) + rng.choice((". ", ". ", ". ", "? ", ".\n", ".\n\n"))
        out.append(sentence)
        total += len(sentence)
    return "".join(out).encode()[:size]


def dna_like(size: int, rng: random.Random) -> bytes:
    return rng.randbytes(size).translate(bytes(b"ACGT"[b & 3] for b in range(256)))


def random_bytes(size: int, rng: random.Random) -> bytes:
    # 1..255: no sentinel bytes.
    return rng.randbytes(size).translate(bytes(1 + b * 255 // 256 for b in range(256)))


GENERATORS = {"english": english_like, "dna": dna_like, "random": random_bytes}


def write_patterns(path: Path, text: bytes, length: int, count: int, rng: random.Random) -> None:
    with open(path, "wb") as f:
        for _ in range(count):
            start = rng.randrange(len(text) - length)
            f.write(text[start:start + length])


def prepare(work: Path, name: str, size_mib: int) -> list:
    stem = work / f"{name}_{size_mib}"
    text_path = stem.with_suffix(".txt")
    seed = f"{name}-{size_mib}"
    if not text_path.exists():
        text_path.write_bytes(GENERATORS[name](size_mib * MIB, random.Random(seed)))
    text = text_path.read_bytes()
    rng = random.Random(seed + "-patterns")
    args = [str(text_path), str(LOCATE_LIMIT)]
    locate_path = Path(f"{stem}_locate{LOCATE_LENGTH}.pat")
    write_patterns(locate_path, text, LOCATE_LENGTH, LOCATE_PATTERNS, rng)
    args.append(f"{LOCATE_LENGTH}:{locate_path}")
    for length in COUNT_LENGTHS:
        path = Path(f"{stem}_count{length}.pat")
        write_patterns(path, text, length, COUNT_PATTERNS, rng)
        args.append(f"{length}:{path}")
    return args


def run(program: Path, args: list) -> dict:
    """Runs one benchmark program; returns {(kind, key): fields}."""
    output = subprocess.run([str(program)] + args, check=True, capture_output=True, text=True)
    results = {}
    for line in output.stdout.splitlines():
        kind, *pairs = line.split()
        fields = dict(pair.split("=", 1) for pair in pairs)
        key = fields.get("level") if kind in ("construct", "locate", "size") else fields["len"]
        results[(kind, key)] = fields
    return results


def best(runs: list) -> dict:
    """Merges repeated runs: fastest time and construction speed per line."""
    merged = {}
    for results in runs:
        for key, fields in results.items():
            if key not in merged:
                merged[key] = dict(fields)
                continue
            kept = merged[key]
            for name, better in (("ns_per_pattern", min), ("ns_per_occ", min),
                                 ("mb_per_s", max)):
                if name in fields:
                    kept[name] = str(better(float(kept[name]), float(fields[name])))
            if fields.get("checksum") != kept.get("checksum"):
                kept["checksum"] = "inconsistent"
    return merged


def run_alternating(ours: Path, sdsl: Path, args: list, times: int) -> tuple:
    """Alternates the two programs so that both see the same spells of machine load."""
    ours_runs, sdsl_runs = [], []
    for _ in range(times):
        ours_runs.append(run(ours, args))
        sdsl_runs.append(run(sdsl, args))
    return best(ours_runs), best(sdsl_runs)


def build(work: Path, build_dir: Path) -> tuple:
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(build_dir), "-G", "Ninja",
                    "-DQUARNEL_BUILD_PYTHON=OFF", "-DQUARNEL_BUILD_BENCH=ON",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "bench_fm_index"], check=True,
                   stdout=subprocess.DEVNULL)
    sdsl = work / "sdsl_bench"
    subprocess.run(["g++", "-O3", "-march=native", "-DNDEBUG", "-std=c++17", "-o", str(sdsl),
                    str(Path(__file__).with_name("sdsl_bench.cpp")), "-lsdsl", "-ldivsufsort",
                    "-ldivsufsort64"], check=True)
    return build_dir / "bench" / "bench_fm_index", sdsl


def row(label: str, ours: float, theirs: float, unit: str) -> str:
    ratio = ours / theirs if theirs else float("nan")
    return f"  {label:<28} {ours:>12.2f} {theirs:>12.2f} {ratio:>8.2f}  {unit}"


def report(name: str, size_mib: int, ours: dict, sdsl: dict) -> bool:
    ok = True
    print(f"\n{name}, {size_mib} MiB{'':<20} {'ours':>12} {'sdsl':>12} {'ratio':>8}")
    c_ours, c_sdsl = ours[("construct", "2")], sdsl[("construct", "2")]
    print(row("construction (level 2)", float(c_ours["mb_per_s"]), float(c_sdsl["mb_per_s"]),
              "MB/s"))
    s_ours, s_sdsl = ours[("size", "2")], sdsl[("size", "2")]
    print(row("size (level 2)", float(s_ours["per_text_byte"]), float(s_sdsl["per_text_byte"]),
              "bytes per text byte"))
    for length in COUNT_LENGTHS:
        a, b = ours[("count", str(length))], sdsl[("count", str(length))]
        print(row(f"count, length {length}", float(a["ns_per_pattern"]),
                  float(b["ns_per_pattern"]), "ns per pattern"))
        if a["checksum"] != b["checksum"]:
            print(f"  ERROR: count checksums differ ({a['checksum']} vs {b['checksum']})")
            ok = False
    for level in range(6):
        a, b = ours[("locate", str(level))], sdsl[("locate", str(level))]
        print(row(f"locate, level {level} ({a['occurrences']} occ)", float(a["ns_per_occ"]),
                  float(b["ns_per_occ"]), "ns per occurrence"))
        if (a["checksum"], a["occurrences"]) != (b["checksum"], b["occurrences"]):
            print(f"  ERROR: locate results differ at level {level}")
            ok = False
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="8,64", help="text sizes in MiB")
    parser.add_argument("--texts", default="english,dna,random", help=",".join(GENERATORS))
    parser.add_argument("--work", default="/tmp/quarnel_fm_bench", help="data and sdsl binary")
    parser.add_argument("--build-dir", default=str(REPO / "build" / "bench_fm"))
    parser.add_argument("--runs", type=int, default=3,
                        help="alternating runs of each program; the best figure of each is kept")
    args = parser.parse_args()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    ours_bin, sdsl_bin = build(work, Path(args.build_dir))
    ok = True
    for size_mib in (int(s) for s in args.sizes.split(",")):
        for name in args.texts.split(","):
            bench_args = prepare(work, name, size_mib)
            ours, sdsl = run_alternating(ours_bin, sdsl_bin, bench_args, args.runs)
            ok &= report(name, size_mib, ours, sdsl)
            sys.stdout.flush()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
