#!/usr/bin/env bash
# Uses the library as its users do. Installs a configured build into a fresh
# prefix and moves the prefix elsewhere; from there it checks the soname and
# the exported symbols, builds and runs one program through the CMake package
# (which must refuse another minor version) and one with the README's
# pkg-config line. Last, a parent project that adds the source tree with
# add_subdirectory() must get the library alone.
# Usage: check-install.sh <configured build dir> <scratch dir> [jobs]
set -euo pipefail
build=$(realpath "$1")
work=$2
jobs=${3:-$(nproc)}
src=$(cd "$(dirname "$0")/.." && pwd)
here=$src/scripts/install-check

fail() { echo "check-install: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
cmake --install "$build" --prefix "$work/installed" > /dev/null
mv "$work/installed" "$work/moved"
prefix=$work/moved

lib=$(find "$prefix" -name 'libvornlib.so.*.*' -type f | head -n 1)
pc=$(find "$prefix" -name vornlib.pc | head -n 1)
[ -n "$lib" ] && [ -n "$pc" ] || fail "no libvornlib.so or vornlib.pc under $prefix"
libdir=$(dirname "$lib")

# Before 1.0 the soname carries the minor version.
version=$(sed -n 's/^Version: //p' "$pc")
IFS=. read -r major minor _ <<< "$version"
expected=libvornlib.so.$major
[ "$major" = 0 ] && expected=libvornlib.so.$major.$minor
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "$expected" ] || fail "soname $soname, expected $expected"

perl "$src/scripts/check-exports.pl" symbols "$lib" $(find "$prefix" -path '*/include/vornlib/*' -name '*.h' | sort)

# CMake package: the version asked for, but never another minor version.
cmake -S "$here/consumer" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    -DVORN_REQUIRED_VERSION="$major.$minor" > "$work/cmake-consumer.log" \
    || { cat "$work/cmake-consumer.log"; fail "find_package(VornLib $major.$minor) failed"; }
grep -q "^VornLib_DIR:PATH=$prefix/" "$work/cmake-consumer/CMakeCache.txt" \
    || fail "the CMake package was not found under $prefix"
cmake --build "$work/cmake-consumer" -j "$jobs" > "$work/cmake-consumer-build.log" \
    || { cat "$work/cmake-consumer-build.log"; fail "the CMake consumer did not build"; }
"$work/cmake-consumer/consumer"
other="$major.$((minor + 1))"
[ "$minor" -gt 0 ] && other="$major.$((minor - 1))"
if cmake -S "$here/consumer" -B "$work/cmake-other" -DCMAKE_PREFIX_PATH="$prefix" \
    -DVORN_REQUIRED_VERSION="$other" > "$work/cmake-other.log" 2>&1; then
    fail "find_package(VornLib $other) accepted version $version"
fi

# pkg-config: exactly the README's line, from a folder of its own.
line=$(grep -m 1 -E '^ +g\+\+ .*\$\(pkg-config --cflags --libs vornlib\)' "$src/README.md" | sed 's/^ *//')
[ -n "$line" ] || fail "README.md has no g++ line with pkg-config"
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
includedir=$(realpath -m "$(pkg-config --variable=includedir vornlib)")
[ "$includedir" = "$prefix/include/vornlib" ] || fail "vornlib.pc points at $includedir"
mkdir "$work/pc-consumer"
cp "$here/consumer/main.cpp" "$work/pc-consumer/"
(cd "$work/pc-consumer" && eval "$line") || fail "the README's line failed: $line"
exe=$(find "$work/pc-consumer" -maxdepth 1 -type f -perm -u+x | head -n 1)
[ -n "$exe" ] || fail "the README's line made no program"
LD_LIBRARY_PATH=$libdir "$exe"

# A parent project: no tests, benchmarks, fuzz targets or examples, and none
# of their dependencies looked for.
cmake -S "$here/parent" -B "$work/parent" -DVORN_SOURCE_DIR="$src" > "$work/parent.log" \
    || { cat "$work/parent.log"; fail "the parent project did not configure"; }
extra=$(cmake --build "$work/parent" --target help | sed -E 's/^\.\.\. //; s/:.*$//' \
    | grep -E -x '(test|bench|fuzz)_[A-Za-z_]+|[a-z]+_demo|vorn_test_support' | sort -u | tr '\n' ' ' || true)
[ -z "$extra" ] || fail "the parent project got targets of its own: $extra"
found=$(grep -E -o '^(GTest|benchmark|OpenSSL|spdlog|nlohmann_json|RapidJSON)_DIR' "$work/parent/CMakeCache.txt" || true)
[ -z "$found" ] || fail "the parent project looked for: $found"
tests=$(ctest --test-dir "$work/parent" -N | sed -n 's/^Total Tests: //p')
[ "$tests" = 0 ] || fail "the parent project has $tests tests of the library"
echo "check-install: $version installed, moved and used from $prefix"
