# Shared by build-wheels.sh and test-wheels.sh, sourced with their arguments: the CPython versions
# to work on (by default every one that wheels are made for); WHEEL_ARCHES names the processors.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13)
read -r -a arches <<<"${WHEEL_ARCHES:-x86_64 aarch64}"
work=build/wheel
mkdir -p "$work"

timed() {  # $1: label, then the command; appends the step's duration to the timings file
  local label="$1" start end
  shift
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  awk -v l="$label" -v s="$start" -v e="$end" 'BEGIN { printf "%-34s %7.1f s\n", l, e - s }' |
    tee -a "$work/timings.txt"
}

# Calls $2 with the interpreter and the wheel tag (cp311, ...) of each version; a version whose
# interpreter is missing here is skipped with a loud warning, and none at all is an error.
for_each_version() {  # $1: what a missing version goes without, $2: the function
  local done=0 v tag py
  for v in "${versions[@]}"; do
    tag="cp${v/./}"
    if ! py=$(scripts/find-python.sh --exact "$v"); then
      printf '\n%s\n*** SKIPPED: CPython %s is not installed here: %s %s\n%s\n\n' "$(printf '*%.0s' {1..60})" \
        "$v" "$1" "$tag" "$(printf '*%.0s' {1..60})" >&2
      continue
    fi
    "$2" "$py" "$tag"
    done=$((done + 1))
  done
  echo "== step timings"
  cat "$work/timings.txt"
  [ "$done" -gt 0 ] || { echo "none of CPython ${versions[*]} is installed here" >&2; exit 1; }
}
