#!/usr/bin/env bash
# Fails if an installed header (src/**/*.h but *_p.h) declares a class,
# function or variable without VORN_EXPORT. The checker first runs on a
# sample with known misses, so that it cannot pass by finding nothing.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
sample=$src/scripts/install-check/export-sample.h
expected=$(grep -c 'missing$' "$sample")
found=$(perl "$src/scripts/check-exports.pl" headers "$sample" | wc -l || true)
if [ "$found" != "$expected" ]; then
    perl "$src/scripts/check-exports.pl" headers "$sample" || true
    echo "check-headers: the sample gives $found reports, not $expected" >&2
    exit 1
fi
cd "$src"
perl scripts/check-exports.pl headers $(find src -name '*.h' ! -name '*_p.h' | sort)
