#!/usr/bin/env bash
# Runs every example program in the given folder, in name order.
set -euo pipefail
dir=$1
status=0
for exe in $(find "$dir" -maxdepth 1 -type f -name '*_demo' -perm -u+x | sort); do
  echo "=== $(basename "$exe")"
  "$exe" || { echo "$(basename "$exe") failed"; status=1; }
done
exit $status
