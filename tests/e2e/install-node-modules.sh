#!/usr/bin/env bash
# Installs the end-to-end test's Node packages (playwright-core and puppeteer-core, pinned in
# package-lock.json) into tests/e2e/node_modules with `npm ci`. Does nothing when they are there
# already for this lock file. Never downloads a browser: the test drives Debian's
# /usr/bin/chromium and /usr/bin/firefox-esr.
# Fails with a clear message, and within KORVALO_NPM_TIMEOUT seconds (default 300), when the npm
# registry cannot be reached.
set -euo pipefail
cd "$(dirname "$0")"

stamp=node_modules/.korvalo-lock-sha256
want=$(sha256sum package-lock.json | cut -d' ' -f1)
if [ -f node_modules/playwright-core/package.json ] && [ -f node_modules/puppeteer-core/package.json ] &&
    [ "$(cat "$stamp" 2>/dev/null)" = "$want" ]; then
    exit 0
fi
command -v npm >/dev/null || {
    echo "tests/e2e: npm is not installed (KORVALO_WITH_BROWSER=1 scripts/install-deps.sh installs it)" >&2
    exit 1
}

echo "tests/e2e: npm ci (playwright-core, puppeteer-core)"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1
if ! timeout "${KORVALO_NPM_TIMEOUT:-300}" npm ci --no-audit --no-fund --ignore-scripts --prefer-offline \
    --fetch-retries=1 --fetch-retry-mintimeout=2000 --fetch-retry-maxtimeout=10000 \
    --fetch-timeout=60000 </dev/null; then
    echo "tests/e2e: npm ci failed: the npm registry cannot be reached and the packages are not" \
        "in npm's cache, so the end-to-end test cannot run" >&2
    exit 1
fi
echo "$want" >"$stamp"
