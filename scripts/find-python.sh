#!/usr/bin/env bash
# Prints a CPython 3.12 interpreter (3.11+ as a fallback) for the virtual environment.
set -euo pipefail
candidates=(python3.12)
if command -v pyenv >/dev/null 2>&1; then
  candidates+=("$(pyenv which python3.12 2>/dev/null || true)")
fi
candidates+=("$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12 python3 python3.11)
for c in "${candidates[@]}"; do
  [ -n "$c" ] || continue
  if command -v "$c" >/dev/null 2>&1 &&
     "$c" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 11) else 1)' 2>/dev/null; then
    command -v "$c"
    exit 0
  fi
done
echo "No Python 3.11+ interpreter found; install CPython 3.12." >&2
exit 1
