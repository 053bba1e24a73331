#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit and
# integration suites in a plain build, the browser tests against it (Chromium
# and Firefox ESR), the Debian package's install and remove test, the same
# suites again under AddressSanitizer+UBSan, and a bounded fuzzing run of the
# request parser. Ends with one summary line over all of them.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
set -e
ensure_packages "${BUILD_PACKAGES[@]}" "${SIGNER_TEST_PACKAGES[@]}" "${WEB_TEST_PACKAGES[@]}" "${TRUST_TEST_PACKAGES[@]}" procps psmisc util-linux passwd curl
web_modules
set +e

export QT_QPA_PLATFORM=offscreen
LOGS=$(mktemp -d)
trap 'rm -rf "$LOGS"' EXIT
passed=0
failed=0

# Adds the counts of a ctest run ("N% tests passed, F tests failed out of T").
count_ctest() {
  local line total fails
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n1)
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  fails=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + total - fails)); failed=$((failed + fails))
}

run_suite() {
  local dir="$1"; shift
  echo "==> Building $dir $*"
  if ! configure_and_build "$ROOT_DIR/$dir" "$@"; then
    echo "BUILD FAILED: $dir"; failed=$((failed + 1)); return
  fi
  echo "==> Testing $dir"
  rm -f "$ROOT_DIR/$dir/Testing/Temporary/LastTestsFailed.log"
  ctest --test-dir "$ROOT_DIR/$dir" --output-on-failure -j2 2>&1 | tee "$LOGS/$dir.log"
  count_ctest "$LOGS/$dir.log"
  failure_details "$ROOT_DIR/$dir" >>"$LOGS/details"
}

# The output ctest kept of one test, without the per-request debug lines.
test_output() {
  awk -v name="$2" '
    $0 ~ "^[0-9]+/[0-9]+ Testing: " name "$" { on = 1; next }
    on && /^<end of output>/ { exit }
    on && !/^HttpRequest: from / { print }' "$1/Testing/Temporary/LastTest.log"
}

# Why each failed test of a ctest run failed: its failure lines and the end of
# its output, repeated before the summary so that a shortened log still shows them.
failure_details() {
  local failed_list="$1/Testing/Temporary/LastTestsFailed.log" name
  [ -s "$failed_list" ] || return 0
  for name in $(cut -d: -f2 "$failed_list"); do
    echo "--- $(basename "$1")/$name"
    test_output "$1" "$name" | grep -E 'FAIL!|Loc: |INVARIANTS|: (server died|no probe|fds reached|threads unbounded|memory unbounded|not recovered)' | head -n 20
    echo "  ..."
    test_output "$1" "$name" | tail -n 25
  done
}

# The hostile-load test's table (each attack: probes served, latency, peaks,
# recovery). ctest keeps a passing test's output in its log only.
hostile_table() {
  local log="$ROOT_DIR/build/Testing/Temporary/LastTest.log" table
  [ -f "$log" ] || return 0
  table=$(test_output "$ROOT_DIR/build" tst_hostile_load_short | sed -n '/^idle: /,$p')
  [ -n "$table" ] || return 0
  echo "==> Hostile-load table (tst_hostile_load_short)"
  printf '%s\n' "$table"
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
hostile_table

echo "==> Browser tests (headless Chromium)"
"$ROOT_DIR/scripts/browser-test.sh" "$ROOT_DIR/build" 2>&1 | tee "$LOGS/browser.log"
browser_rc=${PIPESTATUS[0]}
browser_pass=$(sed -n 's/^# pass \([0-9]*\)$/\1/p' "$LOGS/browser.log" | tail -n1)
browser_fail=$(sed -n 's/^# fail \([0-9]*\)$/\1/p' "$LOGS/browser.log" | tail -n1)
passed=$((passed + ${browser_pass:-0})); failed=$((failed + ${browser_fail:-0}))
[ "$browser_rc" -eq 0 ] || [ "${browser_fail:-0}" -gt 0 ] || failed=$((failed + 1))

echo "==> Debian package: build, install, run, remove, purge"
"$ROOT_DIR/scripts/package-test.sh" 2>&1 | tee "$LOGS/package.log"
package_rc=${PIPESTATUS[0]}
package_pass=$(sed -n 's/^package-test: \([0-9]*\) passed, \([0-9]*\) failed$/\1/p' "$LOGS/package.log" | tail -n1)
package_fail=$(sed -n 's/^package-test: \([0-9]*\) passed, \([0-9]*\) failed$/\2/p' "$LOGS/package.log" | tail -n1)
passed=$((passed + ${package_pass:-0})); failed=$((failed + ${package_fail:-0}))
[ "$package_rc" -eq 0 ] || [ "${package_fail:-0}" -gt 0 ] || failed=$((failed + 1))

ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DQTX_ASAN=ON

echo "==> Fuzzing the request parser, command-file and signature-block readers, PDF preparation and signing replies (${QTX_FUZZ_SECONDS:-60} s in all)"
if "$ROOT_DIR/scripts/fuzz.sh" "${QTX_FUZZ_SECONDS:-60}"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
fi

if [ -s "$LOGS/details" ]; then
  echo
  echo "==> Failed tests, in short"
  cat "$LOGS/details"
fi
echo
echo "Summary: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
