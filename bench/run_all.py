"""Runs every benchmark against its peer, in one go (`make bench`).

Each part prints its own table: suffix-array construction and the toolkit against pydivsufsort,
the duplicate finder against divsufsort+kasai and a plain-Python n-gram counter, text
preparation (a C++ program, MB/s), and the FM-index against sdsl-lite's csa_wt (needs Debian's
libsdsl-dev, installed here when missing and running as root).
"""

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


def section(title):
    print(f"\n=== {title}", flush=True)


def python_bench(script, *args):
    subprocess.run([sys.executable, str(HERE / script), *args], check=True, cwd=HERE)


def cpp_bench_binary(name):
    build = REPO / "build" / "bench"
    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or "cmake"
    subprocess.run([cmake, "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DQUARNEL_BUILD_PYTHON=OFF",
                    "-DQUARNEL_BUILD_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(build), "--target", name], check=True, stdout=subprocess.DEVNULL)
    return build / "bench" / name


def ensure_sdsl():
    if Path("/usr/include/sdsl/suffix_arrays.hpp").exists():
        return True
    if os.geteuid() != 0:
        print("libsdsl-dev is missing: install it (apt-get install libsdsl-dev) for the FM-index peer")
        return False
    subprocess.run(["apt-get", "install", "-y", "-qq", "libsdsl-dev"], check=True, stdout=subprocess.DEVNULL)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small inputs only")
    args = parser.parse_args()
    sizes = "1,8" if args.quick else "1,8,64"
    section("suffix array construction vs pydivsufsort")
    python_bench("bench_suffix_array.py", "--sizes", sizes)
    section("toolkit vs pydivsufsort (8 MB)")
    python_bench("bench_toolkit.py", "--size", "8")
    section("duplicate finder")
    python_bench("bench_duplicates.py", *(["--quick"] if args.quick else []))
    section("text preparation (8 MB of English prose)")
    from datasets import MB, dataset  # noqa: E402  (only needed here)
    subprocess.run([str(cpp_bench_binary("bench_text_prep")), str(dataset("english", 8 * MB))], check=True)
    section("reusable indexes: SuffixArray vs pydivsufsort sa_search, FMIndex batches and loading")
    python_bench("bench_indexes.py", "--size", "8" if args.quick else "64")
    section("FM-index vs sdsl-lite csa_wt")
    if ensure_sdsl():
        python_bench("fm_index/run.py", "--sizes", "8" if args.quick else "8,64")


if __name__ == "__main__":
    main()
