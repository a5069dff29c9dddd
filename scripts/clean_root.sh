#!/usr/bin/env bash
# Makes a minimal Debian root with only Python, venv and pip, from the same
# Debian release and mirror as this machine, once: it is kept in a folder keyed
# on its package list, the release and this script, and printed.
#
# Usage: clean_root.sh [CACHE_DIR]   (default ~/.cache/herdmask); needs root.
set -euo pipefail

PACKAGES=python3,python3-venv,python3-pip
CACHE=${1:-${HERDMASK_CACHE:-$HOME/.cache/herdmask}}
HERE=$(cd "$(dirname "$0")" && pwd)

. /etc/os-release
SUITE=${VERSION_CODENAME:?this machine names no Debian release}
# The mirror this machine's apt reads, from one-line or deb822 sources.
MIRROR=$(
  set +o pipefail
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*\) .*/\2/p'
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs: //p'; } | grep -v security | head -1
)
: "${MIRROR:?no Debian mirror found in the apt sources}"

KEY=$(printf '%s\n' "$PACKAGES" "$SUITE" "$MIRROR" | cat - "$HERE/clean_root.sh" | sha256sum | cut -c1-12)
ROOT=$CACHE/clean-root-$KEY
mkdir -p "$CACHE"
exec 9>"$CACHE/.clean-root-lock"
flock 9
if [ ! -f "$ROOT/.complete" ]; then
  echo "clean_root: debootstrap $SUITE from $MIRROR with $PACKAGES" >&2
  rm -rf "$ROOT.part"
  debootstrap --variant=minbase --include="$PACKAGES" "$SUITE" "$ROOT.part" "$MIRROR" >"$CACHE/clean-root.log" 2>&1 ||
    { tail -20 "$CACHE/clean-root.log" >&2; exit 1; }
  rm -rf "$ROOT.part/var/cache/apt/archives/"*.deb
  touch "$ROOT.part/.complete"
  rm -rf "$ROOT"
  mv "$ROOT.part" "$ROOT"
  # roots of an older package list or release are of no further use
  for old in "$CACHE"/clean-root-*/; do
    [ "${old%/}" = "$ROOT" ] || rm -rf "${old%/}"
  done
fi
echo "$ROOT"
