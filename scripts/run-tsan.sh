#!/usr/bin/env bash
# Builds the core, diagnostics and database tests with ThreadSanitizer in
# build/tsan and runs them (the database tests under CTest, with their private
# MariaDB server). Not part of the normal test run: run by hand.
#   bash scripts/run-tsan.sh [jobs]
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$src/build/tsan
jobs=${1:-4}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" -DCMAKE_C_FLAGS=-fsanitize=thread \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
    -DVORN_BUILD_BENCH=OFF -DVORN_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target test_VCore test_VDebug test_VDB test_VDB_mysql vorn_suite_tmpdir
unset VORN_TMPDIR INSTALLATION_UID
export QT_QPA_PLATFORM=offscreen
# Reports go to files, not standard error (many tests compare what they
# write there), and do not change exit codes (forked children would end 66):
# the tests judge behaviour, the report files judge races.
reports=$build/reports
rm -rf "$reports" && mkdir -p "$reports"
export TSAN_OPTIONS="suppressions=$src/tests/tsan.supp log_path=$reports/tsan exitcode=0 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
status=0
for t in test_VCore test_VDebug; do
    "$build/tests/$t" || status=1
done
ctest --test-dir "$build/tests/VDB" -j "$jobs" --output-on-failure --timeout 600 || status=1
if compgen -G "$reports/tsan.*" >/dev/null; then
    echo "ThreadSanitizer reports (in $reports):"
    grep -h '^SUMMARY' "$reports"/tsan.* | sort | uniq -c
    status=1
fi
exit $status
