#!/usr/bin/env bash
# Runs the browser tests (tests/browser/) against a build:
#   scripts/browser-test.sh [build folder]      (default build/)
# Installs chromium, firefox-esr, libnss3-tools and nodejs/npm when missing (apt-get,
# non-interactive), the pinned npm packages (npm ci), then runs node's test
# runner. The build must contain bin/QuorvexCryptoProvider, bin/qtx-provision
# and the signed example modules in modules/. The screenshot of the demo page
# is kept in <build>/tests/browser/artifacts/ (demo-after-call.png from Chromium,
# firefox-demo.png from Firefox ESR, login-*.png of the sample site's log-in).
# Takes about two minutes.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

BUILD="$(realpath -m "${1:-$ROOT_DIR/build}")"
TESTS="$ROOT_DIR/tests/browser"

need=(chromium firefox-esr libnss3-tools "${SIGNER_TEST_PACKAGES[@]}")
command -v node >/dev/null 2>&1 || need+=(nodejs)
command -v npm >/dev/null 2>&1 || need+=(npm)
ensure_packages "${need[@]}"

for f in bin/QuorvexCryptoProvider bin/qtx-provision; do
  if [ ! -x "$BUILD/$f" ]; then
    echo "$BUILD/$f is missing: build first (cmake --build $BUILD)" >&2
    exit 1
  fi
done

echo "==> npm packages (web/: the sample site's validator; tests/browser)"
web_modules
cd "$TESTS"
if [ -f package-lock.json ]; then
  timeout 300 npm ci --no-audit --no-fund --loglevel=error
else
  timeout 300 npm install --no-audit --no-fund --loglevel=error
fi

export QTX_BUILD_DIR="$BUILD"
export QTX_ARTIFACTS_DIR="${QTX_ARTIFACTS_DIR:-$BUILD/tests/browser/artifacts}"
mkdir -p "$QTX_ARTIFACTS_DIR"
echo "==> Browser tests against $BUILD (artifacts: $QTX_ARTIFACTS_DIR)"
# Files one after the other: each starts its own servers and browser.
timeout 600 node --test --test-concurrency=1 --test-timeout=180000 \
  discovery.test.mjs squatters.test.mjs browser.test.mjs firefox.test.mjs signer.test.mjs signpdf.test.mjs login.test.mjs lna.test.mjs package.test.mjs
