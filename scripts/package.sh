#!/usr/bin/env bash
# Makes the Debian package of Korvalo: BUILD-FOLDER/korvalo_<version>_<architecture>.deb.
#
#   scripts/package.sh [BUILD-FOLDER]     (default: build)
#
# Configures the folder when it holds no build yet, builds what the package holds (the program,
# not the tests), and makes the package with CPack's DEB generator; the dependencies come from
# the program's libraries (dpkg-shlibdeps, package dpkg-dev). Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
cmake --build "$build" -j2 --target korvalo_package_contents >&2

log="$build/package.log"
if ! (cd "$build" && cpack -G DEB --config CPackConfig.cmake) >"$log" 2>&1; then
    cat "$log" >&2
    echo "package.sh: cpack failed (log: $log)" >&2
    exit 1
fi
package=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$log")
if [ -z "$package" ] || [ ! -f "$package" ]; then
    cat "$log" >&2
    echo "package.sh: cpack named no package" >&2
    exit 1
fi
echo "$package"
