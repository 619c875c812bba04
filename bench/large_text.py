"""Writes English-like prose of a given size (default 2.5 GB) to bench/.data, in 16 MB chunks
of the word walk of datasets.py with their own seeds, so the text never has to fit in Python
objects at once. For bench_sais_large, which sorts it in 64-bit entries:

    python bench/large_text.py 2500000000
    build/bench/bench/bench_sais_large bench/.data/english-2500000000.bin
"""

import os
import sys

from datasets import DATA_DIR, MB, english


def main():
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 2_500_000_000
    path = DATA_DIR / f"english-{size}.bin"
    if path.exists():
        print(path)
        return
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as out:
        written, seed = 0, 1000
        while written < size:
            chunk = english(16 * MB, seed)[: size - written]
            out.write(chunk)
            written += len(chunk)
            seed += 1
    os.replace(tmp, path)
    print(path)


if __name__ == "__main__":
    main()
