#!/usr/bin/env bash
# Builds the core and diagnostics tests with ThreadSanitizer in build/tsan and
# runs them. Not part of the normal test run: run by hand.
#   bash scripts/run-tsan.sh [jobs]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-4}
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
    -DVORN_BUILD_BENCH=OFF -DVORN_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target test_VCore test_VDebug
unset VORN_TMPDIR INSTALLATION_UID
export QT_QPA_PLATFORM=offscreen
# Reports go to files, not standard error (many tests compare what they
# write there), and do not change exit codes (forked children would end 66):
# the tests judge behaviour, the report files judge races.
reports=$PWD/build/tsan/reports
rm -rf "$reports" && mkdir -p "$reports"
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp log_path=$reports/tsan exitcode=0 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
status=0
for t in test_VCore test_VDebug; do
    build/tsan/tests/$t || status=1
done
if ls "$reports"/tsan.* >/dev/null 2>&1; then
    echo "ThreadSanitizer reports:"
    grep -h '^SUMMARY' "$reports"/tsan.* | sort | uniq -c
    status=1
fi
exit $status
