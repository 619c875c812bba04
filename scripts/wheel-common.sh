# Shared by build-wheels.sh and test-wheels.sh, sourced with their arguments: the wheels to work on,
# each named TAG-PROCESSOR (cp312-x86_64, cp311-aarch64, ...); by default every one that is made.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
all_wheels=(cp311-x86_64 cp312-x86_64 cp313-x86_64 cp311-aarch64 cp312-aarch64 cp313-aarch64)
wheels=("$@")
[ ${#wheels[@]} -gt 0 ] || wheels=("${all_wheels[@]}")
for w in "${wheels[@]}"; do
  [[ " ${all_wheels[*]} " == *" $w "* ]] || { echo "unknown wheel $w (one of: ${all_wheels[*]})" >&2; exit 2; }
done
work=build/wheel
third_party="$PWD/$work/third-party"
mkdir -p "$work"
timings="$work/timings-$(basename "$0" .sh).txt"

# The processors among the wheels asked for, in the order of all_wheels.
arches=()
for a in x86_64 aarch64; do
  [[ " ${wheels[*]} " == *"-$a "* ]] && arches+=("$a")
done

version_of() {  # $1: tag such as cp312; prints 3.12
  echo "3.${1#cp3}"
}

timed() {  # $1: label, then the command; appends the step's duration to the timings file
  local label="$1" start end
  shift
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  awk -v l="$label" -v s="$start" -v e="$end" 'BEGIN { printf "%-38s %7.1f s\n", l, e - s }' |
    tee -a "$timings"
}

# Calls $2 with the interpreter, the tag and the processor of each wheel; a wheel whose CPython is
# missing here is skipped with a loud warning, and none at all is an error.
for_each_wheel() {  # $1: what a missing version goes without, $2: the function
  local done=0 w tag arch py
  for w in "${wheels[@]}"; do
    tag="${w%-*}" arch="${w#*-}"
    if ! py=$(scripts/find-python.sh --exact "$(version_of "$tag")"); then
      printf '\n%s\n*** SKIPPED: CPython %s is not installed here: %s %s\n%s\n\n' "$(printf '*%.0s' {1..60})" \
        "$(version_of "$tag")" "$1" "$w" "$(printf '*%.0s' {1..60})" >&2
      continue
    fi
    "$2" "$py" "$tag" "$arch"
    done=$((done + 1))
  done
  echo "== step timings"
  cat "$timings"
  [ "$done" -gt 0 ] || { echo "no CPython for any of ${wheels[*]} is installed here" >&2; exit 1; }
}
