#!/usr/bin/env bash
# Makes the environment the segmenter contract tests run in, and does nothing
# when it is there already.
#
# The segmenter's official package imports torchvision. The torchvision builds
# this machine's registries offer do not load beside the CPU torch 2.13.0 of the
# main environment, so a second environment, layered over the main one (whose
# packages it sees), holds the matching pair torch 2.14.1 / torchvision 0.29.1
# and the segmenter package, built from source without its optional CUDA part.
set -euo pipefail

ENV_DIR=${1:?usage: segmenter_env.sh ENV_DIR}
PYTHON=${PYTHON:-python3}

if [ -x "$ENV_DIR/bin/python" ] &&
  "$ENV_DIR/bin/python" -c "import sam2, torchvision" >/dev/null 2>&1; then
  exit 0
fi
echo "making the segmenter environment in $ENV_DIR"
"$PYTHON" -m venv --system-site-packages "$ENV_DIR"
"$ENV_DIR/bin/python" -m pip install -q torch==2.14.1 torchvision==0.29.1
# --no-build-isolation: the package builds against the torch just installed
# instead of fetching another into a build environment.
SAM2_BUILD_CUDA=0 "$ENV_DIR/bin/python" -m pip install -q --no-build-isolation sam2==1.1.0
"$ENV_DIR/bin/python" -c "import sam2, torchvision"
