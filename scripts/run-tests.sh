#!/usr/bin/env bash
# Runs the test suite of a sanitizer build under CTest.
set -euo pipefail
build=$1
jobs=${2:-$(nproc)}
here=$(cd "$(dirname "$0")" && pwd)
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$here/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# Tests must not depend on the caller's temporary directory or locale.
unset VORN_TMPDIR INSTALLATION_UID
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 600
