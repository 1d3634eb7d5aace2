#!/usr/bin/env bash
# Builds everything and runs every test. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh
./scripts/check-programs.sh

# Warnings are errors here: the project's own code builds without one, with gcc and with clang.
export DRVNT_WERROR=ON
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDRVNT_SANITIZE=ON -DDRVNT_WERROR=ON >/dev/null
cmake --build build

# The fuzz targets, built with clang in build-fuzz/, 15 s each on a scratch copy of their corpus.
# They run first so that the test runner's summary closes the output; a fuzz failure still fails.
fuzz_status=0
./scripts/fuzz.sh --quick || fuzz_status=$?

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
(cd build && ctest --output-on-failure --timeout 300 -j2)
exit "$fuzz_status"
