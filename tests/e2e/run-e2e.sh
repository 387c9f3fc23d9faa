#!/usr/bin/env bash
# ctest's entry to the end-to-end test: checks the tools it needs, installs the Node packages
# when they are missing, then runs e2e.mjs over the build folder BUILD.
#
#   tests/e2e/run-e2e.sh BUILD [e2e.mjs options]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 BUILD [options]" >&2; exit 2; }
build_dir=$(cd "$1" && pwd)
shift

missing=()
for tool in node npm Xvfb openbox xdotool xprop /usr/bin/chromium /usr/bin/firefox-esr openssl; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "e2e: not installed: ${missing[*]} (KORVALO_WITH_BROWSER=1 scripts/install-deps.sh installs them)" >&2
    exit 1
fi
node_major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$node_major" -lt 20 ]; then
    echo "e2e: Node.js $(node --version) is too old: playwright-core needs 20 or later" >&2
    exit 1
fi
for program in korvalo korvalo-card-service korvalo-demo-service; do
    [ -x "$build_dir/bin/$program" ] || { echo "e2e: $build_dir/bin/$program was not built" >&2; exit 1; }
done

# Normally test.sh has installed them; a second try here must leave time for the test itself.
KORVALO_NPM_TIMEOUT=120 "$here/install-node-modules.sh"
exec node "$here/e2e.mjs" --source-dir "$source_dir" --build-dir "$build_dir" "$@"
