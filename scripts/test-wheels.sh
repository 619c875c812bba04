#!/usr/bin/env bash
# Installs each repaired wheel of dist/ into a fresh virtual environment and runs the Python test
# suite and the package checks against it, in a private mount namespace where every system copy of
# the libraries the wheel bundles is replaced by an empty file, with an empty LD_LIBRARY_PATH and
# an environment that holds nothing else: a wheel that still needed a system library fails to load.
#   scripts/test-wheels.sh [VERSION ...]     (default: 3.11 3.12 3.13)
source "$(dirname "$0")/wheel-common.sh" "$@"
sdist=$(ls "$PWD"/dist/quarnel-*.tar.gz)

# Root may make mounts in a new mount namespace; anyone else needs a user namespace for it.
namespace=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --user --map-root-user --mount --propagation private)
if ! "${namespace[@]}" true 2>/dev/null; then
  echo "cannot create a mount namespace (${namespace[*]}): the wheels cannot be tested in isolation" >&2
  exit 1
fi

# The libraries the unrepaired module takes from the system (less glibc and the C++ runtime, which
# every manylinux system has), and every other copy of them that the loader could find instead.
system_libraries() {  # $1: tag
  local module
  module=$(find "$work/$1/cmake" -name '_native*.so' -print -quit)
  {
    ldd "$module" | awk '$3 ~ /^\// { print $3 }' |
      grep -Ev '/(libc|libm|libstdc\+\+|libgcc_s|libpthread|libdl|librt)\.so|/ld-linux'
    ldconfig -p | awk '/lib(icu|divsufsort)/ { print $NF }'
  } | xargs -r realpath | sort -u
}

# The oldest Python is tested with the oldest NumPy the wheel's metadata admits (the NumPy 2
# headers it is built with target 1.25 by default), the others with the newest.
fresh_env() {  # $1: interpreter, $2: tag, $3: wheel
  local env="$work/$2/test-env" numpy=numpy
  if [ "$2" = "cp${versions[0]/./}" ]; then
    numpy=$("$1" - "$3" <<'PY'
import re, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    meta = z.read(next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))).decode()
print("numpy==" + re.search(r"^Requires-Dist: numpy>=([\d.]+)", meta, re.M).group(1) + ".*")
PY
)
  fi
  rm -rf "$env"
  "$1" -m venv "$env"
  "$env/bin/python" -m pip install -q "$3" "$numpy" pytest
  echo "$2: numpy $("$env/bin/python" -c 'import numpy; print(numpy.__version__)')"
}

in_isolation() {  # $1: tag, $2: wheel; the rest is the command
  local tag="$1" wheel="$2" hidden
  shift 2
  hidden=$(system_libraries "$tag" | tr '\n' ' ')
  "${namespace[@]}" -- bash -c 'for f in $1; do mount --bind /dev/null "$f"; done; shift; exec "$@"' bash \
    "$hidden" env -i PATH=/usr/bin:/bin HOME="$HOME" LD_LIBRARY_PATH= \
    QUARNEL_PACKAGE_CHECK=hidden QUARNEL_HIDDEN_LIBRARIES="$hidden" QUARNEL_SDIST="$sdist" \
    QUARNEL_WHEEL="$wheel" "$@"
}

run_suites() {  # $1: tag, $2: wheel
  local env="$work/$1/test-env" module
  module=$(ls "$env"/lib/python*/site-packages/quarnel/_native*.so)
  echo "hidden from the loader: $(system_libraries "$1" | tr '\n' ' ')"
  in_isolation "$1" "$2" ldd "$module"
  in_isolation "$1" "$2" "$env/bin/python" -m pytest -q -p no:cacheprovider tests/python
  in_isolation "$1" "$2" "$env/bin/python" -m pytest -q -p no:cacheprovider tests/package
  env QUARNEL_PACKAGE_CHECK=visible QUARNEL_SDIST="$sdist" QUARNEL_WHEEL="$2" \
    "$env/bin/python" -m pytest -q -p no:cacheprovider tests/package
}

one_wheel() {  # $1: interpreter, $2: tag
  local wheel
  wheel=$(ls "$PWD"/dist/quarnel-*-"$2"-"$2"-manylinux*.whl)
  timed "$2 fresh environment" fresh_env "$1" "$2" "$wheel"
  timed "$2 suites against the wheel" run_suites "$2" "$wheel"
}
for_each_version "no wheel is tested for" one_wheel
