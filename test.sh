#!/usr/bin/env bash
# Installs what the build and the tests need, builds Korvalo in build/ and runs every test.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
cd build
set +e
ctest --output-on-failure -j2 --timeout 600
status=$?
exit $status
