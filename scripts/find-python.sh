#!/usr/bin/env bash
# Prints a CPython interpreter of the given minor version (default 3.12, with any 3.11+ as a
# fallback for the development environment). With --exact, only that version will do, and
# nothing is printed (exit status 1) where it is missing.
set -euo pipefail
exact=0
if [ "${1:-}" = "--exact" ]; then
  exact=1
  shift
fi
want="${1:-3.12}"
candidates=("$HOME"/.pyenv/versions/"$want".*/bin/"python$want")
if command -v pyenv >/dev/null 2>&1; then
  candidates+=("$(pyenv which "python$want" 2>/dev/null || true)")
fi
candidates+=("python$want" "/usr/bin/python$want")
[ "$exact" -eq 1 ] || candidates+=(python3 python3.11)
for c in "${candidates[@]}"; do
  [ -n "$c" ] || continue
  # The interpreter names itself, so a pyenv shim resolves to the real executable.
  if command -v "$c" >/dev/null 2>&1 &&
     "$c" -c "import sys; v = sys.version_info[:2]; w = tuple(map(int, '$want'.split('.')))
sys.exit(0 if v == w or (not $exact and v >= (3, 11)) else 1)" 2>/dev/null; then
    "$c" -c 'import sys; print(sys.executable)'
    exit 0
  fi
done
[ "$exact" -eq 1 ] || echo "No Python 3.11+ interpreter found; install CPython $want." >&2
exit 1
