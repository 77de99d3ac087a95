#!/usr/bin/env bash
# Checks that every C++ file of the repository is formatted as .clang-format
# says, with the clang-format that scripts/setup.sh installs:
#
#   scripts/check_format.sh          # lists the files that differ, exits 1
#   scripts/check_format.sh --fix    # formats them in place
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=clang-format-14

mapfile -t files < <(git ls-files '*.cc' '*.h')
if [ "${1:-}" = --fix ]; then
  "$clang_format" -i "${files[@]}"
  exit 0
fi
unformatted=()
for file in "${files[@]}"; do
  if ! "$clang_format" --dry-run --Werror "$file" >/dev/null 2>&1; then
    unformatted+=("$file")
  fi
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "Not formatted (scripts/check_format.sh --fix formats them):"
  printf '  %s\n' "${unformatted[@]}"
  exit 1
fi
echo "All ${#files[@]} C++ files are formatted."
