#!/usr/bin/env bash
# Installs what the build and the tests need, builds Korvalo in build/ and runs every test.
set -euo pipefail
cd "$(dirname "$0")"

# KORVALO_WITH_BROWSER=1: also Chromium, Firefox ESR, openbox, Node.js and npm for the
# end-to-end test (tests/e2e).
KORVALO_WITH_BROWSER=1 ./scripts/install-deps.sh
# Its Node packages (playwright-core, puppeteer-core); when the npm registry cannot be reached this says so and
# the end-to-end test fails, the other tests still run.
./tests/e2e/install-node-modules.sh || echo "test.sh: tests/e2e packages not installed; the e2e test will fail" >&2

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
cd build
set +e
ctest --output-on-failure -j2 --timeout 600
status=$?
exit $status
