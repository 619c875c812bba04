# Shared by build-wheels.sh and test-wheels.sh (sourced, not run).
WHEEL_PYTHONS=(3.11 3.12 3.13)
WHEEL_WORK=build/wheel

timed() {  # $1: label, then the command; appends the step's duration to the timings file
  local label="$1" start end
  shift
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  awk -v l="$label" -v s="$start" -v e="$end" 'BEGIN { printf "%-34s %7.1f s\n", l, e - s }' |
    tee -a "$WHEEL_WORK/timings.txt"
}

loud_skip() {
  printf '\n%s\n*** SKIPPED: %s\n%s\n\n' "************************************************************" "$1" \
    "************************************************************" >&2
}
