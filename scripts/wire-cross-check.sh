#!/usr/bin/env bash
# Frames across Qt versions: each build reads the frames the other wrote and
# must write the very same bytes (wire_frames of tests/wire in both builds).
set -euo pipefail
qt5=$1/tests/wire/wire_frames
qt6=$2/tests/wire/wire_frames
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$qt5" write "$dir/qt5.bin"
"$qt6" write "$dir/qt6.bin"
"$qt6" check "$dir/qt5.bin"
"$qt5" check "$dir/qt6.bin"
cmp "$dir/qt5.bin" "$dir/qt6.bin"
echo "wire frames: Qt 5 and Qt 6 builds read each other's frames and write the same bytes"
