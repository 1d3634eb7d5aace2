#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the driver needs.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

# The libraries, headers and data that the build and the tests use; the programs they run are in
# scripts/programs.txt, with their packages, and are added below.
packages=(
  build-essential
  libclang-rt-dev
  qt6-base-dev qt6-qpa-plugins libgl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  fonts-dejavu-core
)
while read -r _ package _; do
  packages+=("$package")
done < <(grep -v -e '^#' -e '^[[:space:]]*$' "$(dirname "$0")/programs.txt")

# --desktop-check: also what a check of the window on a real X server with a window manager needs
# (a virtual X server, a small window manager, screenshots). Not needed by the build or the tests.
if [ "${1:-}" = "--desktop-check" ]; then
  packages+=(xvfb openbox xdotool x11-apps x11-utils netpbm)
fi

missing=()
declare -A seen=()
for p in "${packages[@]}"; do
  [ -n "${seen[$p]:-}" ] && continue
  seen[$p]=1
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: ${missing[*]} are missing; installing them needs root: run" \
      "scripts/install-deps.sh as root, or install sudo" >&2
    exit 1
  fi
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq || echo "install-deps: apt-get update failed, trying with the current lists" >&2
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
