#!/usr/bin/env bash
# Builds the self-contained wheel into OUT_DIR (default dist/): the extension
# linked against the libraries scripts/build_static_deps.sh keeps, then
# repaired by auditwheel, which copies the shared ones it needs (FFmpeg's,
# GEOS's) into the wheel and gives it the oldest manylinux tag it qualifies for.
set -euo pipefail

PYTHON=${PYTHON:-python3}
cd "$(dirname "$0")/.."
OUT=${1:-dist}
CACHE=${HERDMASK_CACHE:-$HOME/.cache/herdmask}

PREFIX=$(scripts/build_static_deps.sh "$CACHE")
raw=build/wheel-raw
rm -rf "$raw" && mkdir -p "$raw" "$OUT"
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Its own build folder: the CMake cache of a system-library build would keep the system's OpenCV.
CCACHE_BASEDIR=$PWD "$PYTHON" -m pip wheel -q --no-deps --no-build-isolation -w "$raw" \
  -C build-dir=build/wheel-bundled -C cmake.define.HERDMASK_BUNDLED_DEPS=ON \
  -C cmake.define.HERDMASK_DEPS_PREFIX="$PREFIX" "${launcher[@]}" .
rm -f "$OUT"/herdmask-*.whl
LD_LIBRARY_PATH=$PREFIX/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} \
  "$PYTHON" -m auditwheel repair --strip -w "$OUT" "$raw"/herdmask-*.whl
wheel=$(ls "$OUT"/herdmask-*.whl)
echo "$wheel ($(du -k "$wheel" | cut -f1) KiB)"
