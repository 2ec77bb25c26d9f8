#!/usr/bin/env bash
# Builds the database tests with ThreadSanitizer in build/tsan and runs them
# (the private MariaDB server included) under CTest. Run by hand from the
# source tree:   bash tests/VDB/run-tsan.sh [jobs]
# Reports go to files (tests capture standard error); any report fails.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$src/build/tsan
jobs=${1:-4}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" -DCMAKE_C_FLAGS=-fsanitize=thread \
  -DVORN_BUILD_BENCH=OFF -DVORN_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target test_VDB test_VDB_mysql
reports=$build/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
unset VORN_TMPDIR INSTALLATION_UID
export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="suppressions=$src/tests/VDB/tsan.supp second_deadlock_stack=1 log_path=$reports/report"
status=0
ctest --test-dir "$build/tests/VDB" -j "$jobs" --output-on-failure --timeout 600 || status=$?
if compgen -G "$reports/report*" >/dev/null; then
  cat "$reports"/report* >&2
  echo "ThreadSanitizer reports: see above ($reports)" >&2
  exit 1
fi
exit $status
