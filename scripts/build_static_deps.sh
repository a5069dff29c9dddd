#!/usr/bin/env bash
# Builds the native libraries the self-contained wheel links, once, into a
# folder keyed on their versions and on this script, and prints that folder.
#
# - OpenCV: only the modules the core calls (core, imgproc, imgcodecs, videoio,
#   video), as static libraries with OpenCV's own libjpeg-turbo, libpng and
#   zlib, from the source that OpenCV's Python package publishes on PyPI. The
#   core writes JPEG through libjpeg itself, so that libjpeg-turbo's headers
#   are put beside it under include/jpeg.
# - FFmpeg: shared libraries (avutil, avcodec, avformat, swscale) with only the
#   file protocol, the MP4/MOV demuxer and the H.264, HEVC and MPEG-4 part 2
#   decoders that camera recordings and the demo's sample use, from Debian's
#   source package. Shared, so auditwheel copies them into the wheel as it
#   does GEOS's, and a user may swap them for their own build.
#
# Usage: build_static_deps.sh [CACHE_DIR]   (default ~/.cache/herdmask)
# Needs: a C/C++ compiler, cmake, ninja, nasm, pkg-config, apt-get.
set -euo pipefail

OPENCV_PY_VERSION=4.14.0.94
CACHE=${1:-${HERDMASK_CACHE:-$HOME/.cache/herdmask}}
JOBS=${JOBS:-2}
HERE=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$CACHE/src"
SRC=$(cd "$CACHE/src" && pwd)

log() { echo "build_static_deps: $*" >&2; }

# Debian's source packages, read through a private list so that the machine's
# own apt configuration stays as it is: the same mirrors, as deb-src.
APT_DIR=$CACHE/apt-src
apt_src() {
  local tool=$1
  shift
  "$tool" -o APT::Sandbox::User=root -o Dir::Etc::SourceList="$APT_DIR/sources.list" -o Dir::Etc::SourceParts="$APT_DIR/parts" \
    -o Dir::State::Lists="$APT_DIR/lists" -o Dir::Cache="$APT_DIR/cache" "$@"
}
prepare_apt_src() {
  rm -rf "$APT_DIR" && mkdir -p "$APT_DIR/parts" "$APT_DIR/lists/partial" "$APT_DIR/cache"
  : >"$APT_DIR/sources.list"
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >>"$APT_DIR/sources.list"
  fi
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types: deb$/Types: deb-src/' "$f" >"$APT_DIR/parts/$(basename "$f")"
  done
  apt_src apt-get update -qq >/dev/null
}

prepare_apt_src
FFMPEG_VERSION=$(apt_src apt-cache showsrc ffmpeg 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1)
[ -n "$FFMPEG_VERSION" ] || { log "no source package of ffmpeg found in the apt sources"; exit 1; }

KEY=$(printf '%s\n' "$OPENCV_PY_VERSION" "$FFMPEG_VERSION" "$(${CXX:-c++} --version | head -1)" |
  cat - "$HERE/build_static_deps.sh" | sha256sum | cut -c1-16)
# One folder, rebuilt when its key changes; its fixed path keeps ccache's
# objects valid from one key to the next.
PREFIX=$CACHE/deps
BUILD=$CACHE/deps-build
built() { [ "$(cat "$PREFIX/.key" 2>/dev/null)" = "$KEY" ]; }
if built; then
  echo "$PREFIX"
  exit 0
fi
exec 9>"$CACHE/.deps-lock"
flock 9
if built; then
  echo "$PREFIX"
  exit 0
fi
rm -rf "$PREFIX" "$BUILD" && mkdir -p "$BUILD"
export CCACHE_BASEDIR=$BUILD
LAUNCH=()
command -v ccache >/dev/null 2>&1 && LAUNCH=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

# FFmpeg ---------------------------------------------------------------------
upstream=${FFMPEG_VERSION#*:}
upstream=${upstream%-*}
tarball=$SRC/ffmpeg_$upstream.orig.tar.xz
if [ ! -f "$tarball" ]; then
  log "fetching the ffmpeg $FFMPEG_VERSION source package"
  (cd "$APT_DIR" && apt_src apt-get source --download-only -qq "ffmpeg=$FFMPEG_VERSION" >/dev/null)
  mv "$APT_DIR/ffmpeg_$upstream.orig.tar.xz" "$tarball"
fi
mkdir -p "$BUILD/ffmpeg"
tar xJf "$tarball" -C "$BUILD/ffmpeg" --strip-components=1
# hypot is the one call that would need glibc 2.35: bound to its first version, the
# libraries run on glibc 2.34 (the wheel's manylinux_2_34 tag, RHEL 9 and its kin).
echo '__asm__(".symver hypot,hypot@GLIBC_2.2.5");' >"$BUILD/hypot-symver.h"
log "building ffmpeg $upstream"
(
  cd "$BUILD/ffmpeg"
  cc=gcc
  command -v ccache >/dev/null 2>&1 && cc="ccache gcc"
  ./configure --prefix="$PREFIX" --cc="$cc" --enable-shared --disable-static --enable-pic \
    --disable-programs --disable-doc --disable-everything --disable-autodetect --enable-pthreads \
    --disable-avdevice --disable-avfilter --disable-swresample --disable-postproc --disable-network \
    --enable-protocol=file --enable-demuxer=mov --enable-decoder=h264,hevc,mpeg4 \
    --enable-parser=h264,hevc,mpeg4video --enable-bsf=h264_mp4toannexb,hevc_mp4toannexb \
    --extra-cflags="-include $BUILD/hypot-symver.h" \
    >"$BUILD/ffmpeg-configure.log"
  make -j"$JOBS" >"$BUILD/ffmpeg-build.log" 2>&1
  make install >>"$BUILD/ffmpeg-build.log" 2>&1
)

# OpenCV ---------------------------------------------------------------------
sdist=$SRC/opencv_python_headless-$OPENCV_PY_VERSION.tar.gz
if [ ! -f "$sdist" ]; then
  log "fetching OpenCV's source (opencv-python-headless $OPENCV_PY_VERSION)"
  # Only this package from source; its build tools (for pip's metadata step) as wheels.
  python3 -m pip download -q --no-deps --no-binary opencv-python-headless \
    "opencv-python-headless==$OPENCV_PY_VERSION" -d "$SRC" >&2
fi
log "unpacking OpenCV"
tar xzf "$sdist" -C "$BUILD" --strip-components=1 "opencv_python_headless-$OPENCV_PY_VERSION/opencv"
off=()
for w in TIFF WEBP OPENJPEG JASPER OPENEXR AVIF JPEGXL SPNG GDAL GDCM IMGCODEC_HDR IMGCODEC_SUNRASTER \
  IMGCODEC_PXM IMGCODEC_PFM GSTREAMER V4L 1394 GTK QT OPENGL OPENCL VA VA_INTEL IPP ITT TBB OPENMP \
  LAPACK EIGEN PROTOBUF ADE OBSENSOR VTK CUDA OPENVX QUIRC FLATBUFFERS CAROTENE KLEIDICV FASTCV; do
  off+=("-DWITH_$w=OFF")
done
log "building OpenCV (core, imgproc, imgcodecs, videoio, video)"
PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig cmake -S "$BUILD/opencv" -B "$BUILD/opencv-build" -G Ninja \
  "${LAUNCH[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DOPENCV_GENERATE_PKGCONFIG=OFF \
  -DBUILD_LIST=core,imgproc,imgcodecs,videoio,video -DVIDEOIO_ENABLE_PLUGINS=OFF \
  -DWITH_FFMPEG=ON -DWITH_JPEG=ON -DBUILD_JPEG=ON -DWITH_PNG=ON -DBUILD_PNG=ON -DBUILD_ZLIB=ON \
  "${off[@]}" -DCPU_DISPATCH="SSE4_1;SSE4_2;AVX;FP16;AVX2" \
  -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF -DBUILD_DOCS=OFF \
  -DBUILD_JAVA=OFF -DBUILD_opencv_python3=OFF -DBUILD_opencv_python2=OFF -DINSTALL_PYTHON_EXAMPLES=OFF \
  >"$BUILD/opencv-configure.log" 2>&1
grep -q 'FFMPEG:.*YES' "$BUILD/opencv-configure.log" || { log "OpenCV did not find the FFmpeg just built"; exit 1; }
cmake --build "$BUILD/opencv-build" --parallel "$JOBS" >"$BUILD/opencv-build.log" 2>&1
cmake --install "$BUILD/opencv-build" >>"$BUILD/opencv-build.log"

# The core's own JPEG writer compiles against the libjpeg-turbo OpenCV built.
mkdir -p "$PREFIX/include/jpeg"
cp "$BUILD/opencv/3rdparty/libjpeg-turbo/src/"{jpeglib.h,jmorecfg.h,jerror.h} "$PREFIX/include/jpeg/"
find "$BUILD/opencv-build/3rdparty/libjpeg-turbo" -name jconfig.h -exec cp {} "$PREFIX/include/jpeg/" \;

printf 'opencv-python-headless %s\nffmpeg %s\n' "$OPENCV_PY_VERSION" "$FFMPEG_VERSION" >"$PREFIX/VERSIONS"
echo "$KEY" >"$PREFIX/.key"
rm -rf "$BUILD"
echo "$PREFIX"
