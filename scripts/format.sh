#!/usr/bin/env bash
# Formats every C++ file git tracks with the checked-in .clang-format
# (clang-format 14), or with --check only says which files differ and fails.
#   scripts/format.sh           format in place
#   scripts/format.sh --check   what scripts/test.sh runs
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format-14
command -v "$format" >/dev/null || { echo "format.sh: $format is missing (scripts/deps.sh installs it)" >&2; exit 2; }
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  if ! "$format" --dry-run --Werror "${files[@]}" 2>/dev/null; then
    echo "format.sh: these files are not formatted; run scripts/format.sh:" >&2
    for file in "${files[@]}"; do
      "$format" --dry-run --Werror "$file" >/dev/null 2>&1 || echo "  $file" >&2
    done
    exit 1
  fi
  echo "format.sh: ${#files[@]} files formatted"
else
  "$format" -i "${files[@]}"
fi
