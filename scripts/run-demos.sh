#!/usr/bin/env bash
# Runs every example program in the given folder, in name order.
#   run-demos.sh <dir> [seconds]
# With a time limit, a program that runs longer is stopped and fails the run,
# as one that fails or crashes does.
set -euo pipefail
dir=$1
limit=${2:-}
status=0
count=0
for exe in $(find "$dir" -maxdepth 1 -type f -name '*_demo' -perm -u+x | sort); do
  count=$((count + 1))
  echo "=== $(basename "$exe")"
  rc=0
  if [ -n "$limit" ]; then
    timeout --kill-after=5 "$limit" "$exe" || rc=$?
  else
    "$exe" || rc=$?
  fi
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    echo "$(basename "$exe") stalled: stopped after $limit s"
    status=1
  elif [ $rc -ne 0 ]; then
    echo "$(basename "$exe") failed (exit status $rc)"
    status=1
  fi
done
if [ $count -eq 0 ]; then
  echo "no example programs in $dir"
  status=1
fi
exit $status
