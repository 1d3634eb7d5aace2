#!/usr/bin/env bash
# Builds the driver and starts it in run/ with the sample settings. Without a display it runs on the
# offscreen platform with the same console output. Ctrl-C closes it in order.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build --target drvnt417

mkdir -p run/spool
[ -f run/drvnt417.ini ] || cp config/drvnt417.ini run/drvnt417.ini

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
fi
cd run
exec ../build/drvnt417
