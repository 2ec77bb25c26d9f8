#!/usr/bin/env bash
# Runs the test suite of a build (sanitized or Release) under CTest.
set -euo pipefail
build=$1
jobs=${2:-$(nproc)}
# Sanitizer options are set per test by tests/CMakeLists.txt.
# Tests must not depend on the caller's temporary directory or locale.
unset VORN_TMPDIR INSTALLATION_UID
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 600
