#!/usr/bin/env bash
# Builds the fuzz targets as libFuzzer programs (clang, ASan + UBSan) and runs
# each for a while. Seeds come from fuzz/corpus/<name>; what libFuzzer adds is
# kept in <build>/corpus/<name>; crashes, leaks and hangs land in
# <build>/artifacts/ and make the script fail.
#   scripts/run-fuzzers.sh [build dir] [seconds per target] [jobs] [target names...]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/fuzz}
seconds=${2:-60}
jobs=${3:-$(nproc)}
only=("${@:4}")

# Debian 12: apt-get install clang libclang-rt-14-dev
command -v clang++ > /dev/null || { echo "clang++ is needed for the libFuzzer build"; exit 2; }
compgen -G "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-*.a" > /dev/null \
  || { echo "clang's libFuzzer runtime is missing (Debian: libclang-rt-14-dev)"; exit 2; }
cmake -S "$src" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON -DVORN_LIBFUZZER=ON \
  -DVORN_BUILD_BENCH=OFF -DVORN_BUILD_EXAMPLES=OFF > /dev/null
targets=()
for name in "${only[@]}"; do targets+=("fuzz_$name"); done
cmake --build "$build" -j "$jobs" --target "${targets[@]:-fuzz_all}"

build=$(cd "$build" && pwd)
mkdir -p "$build/artifacts"
status=0
for exe in $(find "$build/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x | sort); do
  name=$(basename "$exe")
  name=${name#fuzz_}
  if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then continue; fi
  # The JSON reader must stay linear on inputs up to 1 MB: a second per input is a hang.
  limits=(-timeout=10)
  [ "$name" = json_reader ] && limits=(-timeout=1 -max_len=1048576)
  mkdir -p "$build/corpus/$name"
  echo "=== $name (${seconds} s)"
  "$exe" -max_total_time="$seconds" "${limits[@]}" -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$build/corpus/$name" "$src/fuzz/corpus/$name" \
    > "$build/artifacts/$name.log" 2>&1 || { echo "$name failed: see $build/artifacts/$name.log"; status=1; }
  grep -E '^#[0-9]+[[:space:]]+DONE' "$build/artifacts/$name.log" || true
done
exit $status
