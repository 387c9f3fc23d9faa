#!/usr/bin/env bash
# Installs what the build and the tests need, builds Korvalo in build/ and runs every test; then
# builds the Qt-free test programs and the fuzz targets once more with clang under the address
# and undefined-behaviour sanitizers in build-sanitize/ and runs them (each fuzz target for a
# bounded time over its seed corpus). The exit status is 0 only when both runs pass.
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
# Without optimisation (it builds in half the time) and with line tables only: reports name
# files and lines.
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS_DEBUG="-O0 -g1" -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" \
    -DKORVALO_SANITIZE=ON -DKORVALO_FUZZ=ON
cmake --build build-sanitize -j2 --target korvalo_qt_free_tests korvalo_fuzzers

# Korvalo's port and the default port of the maker's services' stand-in lie inside the range the
# system hands out for free-port binds and outgoing connections, and the tests make thousands of
# those; while they run, the two are kept out of that range (as before afterwards; left alone
# where the setting cannot be written).
reserved_ports=/proc/sys/net/ipv4/ip_local_reserved_ports
if previous_reserved=$(cat "$reserved_ports" 2>/dev/null) &&
    echo "${previous_reserved:+$previous_reserved,}48051,48090" 2>/dev/null >"$reserved_ports"; then
    trap 'echo "$previous_reserved" >"$reserved_ports"' EXIT
else
    echo "test.sh: ports 48051 and 48090 not reserved ($reserved_ports cannot be written)" >&2
fi

set +e
(cd build && ctest --output-on-failure -j2 --timeout 600)
status=$?
(cd build-sanitize &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest -L 'qt-free|fuzz' --output-on-failure -j2 --timeout 600)
sanitized=$?
[ $status -eq 0 ] && status=$sanitized
exit $status
