#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit and
# integration suites in a plain build and again under AddressSanitizer+UBSan.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

ensure_packages "${BUILD_PACKAGES[@]}" procps psmisc util-linux passwd curl

export QT_QPA_PLATFORM=offscreen
status=0

run_suite() {
  local dir="$1"; shift
  echo "==> Building $dir $*"
  configure_and_build "$ROOT_DIR/$dir" "$@"
  echo "==> Testing $dir"
  ctest --test-dir "$ROOT_DIR/$dir" --output-on-failure -j2 || status=1
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DQTX_ASAN=ON

if [ -x "$ROOT_DIR/scripts/fuzz.sh" ]; then
  echo "==> Fuzzing the request parser"
  "$ROOT_DIR/scripts/fuzz.sh" "${QTX_FUZZ_SECONDS:-60}" || status=1
fi

exit $status
