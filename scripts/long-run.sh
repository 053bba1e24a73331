#!/usr/bin/env bash
# Long runs that the test command has no time for:
#  - the libFuzzer targets (request parser, command-file reader,
#    signature-block reader, PDF signature preparation, timestamp/OCSP/CRL
#    reply checks), one after the other, each on its own working copy
#    of its corpus; afterwards the inputs that reached new coverage are merged,
#    minimised (-merge=1), into fuzz/corpus* so that scripts/fuzz.sh starts from them;
#  - the stress client (testkit/stressclient.cpp, run by tst_stress) against a ThreadSanitizer build
#    of the server, in rounds, with every ThreadSanitizer report kept;
#  - optionally the whole suite under ThreadSanitizer, repeatedly.
# Fuzzing and stress run side by side at the lowest priority.
#
#   scripts/long-run.sh [--fuzz SECONDS] [--stress SECONDS] [--round SECONDS]
#                       [--runs EXECUTIONS] [--suite RUNS]
#                       [--targets "httprequest cxmlreader modulereader pdfprepare signingreplies"]
#                       [--out DIR]
# --fuzz     total fuzzing time, split evenly over the targets (default 3600; 0 = none)
# --runs     executions per fuzz target; each target then runs until it has made
#            that many or its share of --fuzz is used up (--fuzz 0 with --runs: no
#            time limit)
# --stress   total stress time (default 3600; 0 = none)
# --round    length of one stress round (default 600): the shared server lock
#            /tmp/qtx-server.lock is held per round only, so other users of the
#            machine get their turn between rounds
# --suite    whole-suite ThreadSanitizer runs after the stress (default 0); stops at
#            the first run with a failure or a report
# --out      where logs, crash inputs and reports go (default build-long/<UTC time>)
# Ctrl-C (or SIGTERM to the script; a shell starts background jobs with SIGINT
# ignored, so `kill -TERM <pid>` stops a run started with &) stops the runs: the fuzzer at once, a
# stress round in progress at its end (at most --round seconds; the client then
# checks the server's recovery and ends it). What was found is kept, and the
# corpus merge and the summary still happen.
set -uo pipefail

FUZZ_SECONDS=3600
FUZZ_RUNS=0
STRESS_SECONDS=3600
ROUND_SECONDS=600
SUITE_RUNS=0
TARGETS=(httprequest cxmlreader modulereader pdfprepare signingreplies)
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT=""

usage() { sed -n '13,27p' "$0" >&2; exit 2; }
number() { [[ "$2" =~ ^[0-9]+$ ]] || { echo "$1 needs a whole number, not '$2'" >&2; exit 2; }; echo "$2"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --fuzz) FUZZ_SECONDS=$(number "$1" "${2:-}") || exit 2; shift 2 ;;
    --runs) FUZZ_RUNS=$(number "$1" "${2:-}") || exit 2; shift 2 ;;
    --stress) STRESS_SECONDS=$(number "$1" "${2:-}") || exit 2; shift 2 ;;
    --round) ROUND_SECONDS=$(number "$1" "${2:-}") || exit 2; shift 2 ;;
    --suite) SUITE_RUNS=$(number "$1" "${2:-}") || exit 2; shift 2 ;;
    --targets) read -r -a TARGETS <<<"${2:-}"; shift 2 ;;
    --out) OUT="${2:-}"; shift 2 ;;
    -h|--help) usage ;;
    *) echo "unknown option: $1" >&2; usage ;;
  esac
done
for target in "${TARGETS[@]}"; do
  case "$target" in
    httprequest|cxmlreader|modulereader|pdfprepare|signingreplies) ;;
    *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
  esac
done
[ "$ROUND_SECONDS" -ge 30 ] || ROUND_SECONDS=30

OUT="${OUT:-$ROOT/build-long/$(date -u +%Y%m%dT%H%M%SZ)}"
mkdir -p "$OUT"
SUMMARY="$OUT/summary.txt"
: >"$SUMMARY"
say() { echo "[$(date -u +%H:%M:%S)] $*"; }
record() { echo "$*" | tee -a "$SUMMARY"; }

# The runs are background jobs (which ignore SIGINT); they look at this file.
STOPFILE="$OUT/stop"
rm -f "$STOPFILE"
stopped() { [ -e "$STOPFILE" ]; }
on_stop() {
  touch "$STOPFILE"
  say "stopping: the runs end, what was found is kept"
  [ -s "$OUT/fuzzer.pid" ] && kill -INT "$(cat "$OUT/fuzzer.pid")" 2>/dev/null
}
trap on_stop INT TERM

# Everything from here on yields to the developers' builds.
renice -n 19 -p $$ >/dev/null 2>&1 || true

# ccache speeds up the rebuilds when it is there; the runs do not need it.
LAUNCHER=()
command -v ccache >/dev/null 2>&1 && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

corpus_of() { if [ "$1" = httprequest ]; then echo "$ROOT/fuzz/corpus"; else echo "$ROOT/fuzz/corpus_$1"; fi; }
dir_files() { find "$1" -maxdepth 1 -type f | wc -l; }
dir_bytes() { find "$1" -maxdepth 1 -type f -printf '%s\n' | awk '{s+=$1} END {print s+0}'; }

# ---------------------------------------------------------------------- fuzzing
fuzz_all() {
  local build="$ROOT/build-fuzz"
  # scripts/fuzz.sh installs clang-14 and the runtimes when missing and builds.
  if ! command -v clang++-14 >/dev/null 2>&1; then
    "$ROOT/scripts/fuzz.sh" 1 "${TARGETS[@]}" >/dev/null 2>&1 || true
  fi
  local build_targets=() target
  for target in "${TARGETS[@]}"; do build_targets+=("fuzz_$target"); done
  CC=clang-14 CXX=clang++-14 cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "${LAUNCHER[@]}" \
    -DQTX_FUZZ=ON -DQTX_FUZZ_ONLY=ON -DQTX_BUILD_TESTS=OFF >"$OUT/fuzz-build.log" 2>&1 \
    && cmake --build "$build" --target "${build_targets[@]}" -j2 >>"$OUT/fuzz-build.log" 2>&1 \
    || { record "fuzz: build failed, see $OUT/fuzz-build.log"; return 1; }

  # AddressSanitizer without allocation stacks: recording one per malloc took
  # half of the PDF target's time (qpdf and OpenSSL allocate a lot). Faults are
  # still caught where they happen; a reproducer run with the defaults shows
  # where the memory came from.
  local ASAN_OPTIONS="${ASAN_OPTIONS:-malloc_context_size=0}"
  export ASAN_OPTIONS
  local per=$(( FUZZ_SECONDS / ${#TARGETS[@]} )) limits=()
  [ "$per" -ge 1 ] || per=1
  if [ "$FUZZ_RUNS" -gt 0 ]; then
    limits+=(-runs="$FUZZ_RUNS")
    [ "$FUZZ_SECONDS" -eq 0 ] && per=0
  fi
  limits+=(-max_total_time="$per")
  for target in "${TARGETS[@]}"; do
    local dir="$OUT/fuzz-$target" seed
    seed="$(corpus_of "$target")"
    mkdir -p "$dir/artifacts"
    rm -rf "$dir/corpus"
    cp -r "$seed" "$dir/corpus"
    if ! stopped; then
      say "fuzz_$target for $([ "$per" -gt 0 ] && echo "${per}s" || echo "as long as it takes")$([ "$FUZZ_RUNS" -gt 0 ] && echo ", at most $FUZZ_RUNS executions") (log $dir/fuzz.log)"
      # Progress every few minutes from libFuzzer's own status lines.
      ( while sleep 300; do
          line=$(grep -aE '^#[0-9]+' "$dir/fuzz.log" 2>/dev/null | tail -n 1)
          [ -n "$line" ] && say "fuzz_$target: $line"
        done ) &
      local ticker=$!
      "$build/fuzz/fuzz_$target" "$dir/corpus" "${limits[@]}" -max_len=4096 -timeout=10 \
        -rss_limit_mb="$(rss_limit_for "$target")" -artifact_prefix="$dir/artifacts/" -print_final_stats=1 >"$dir/fuzz.log" 2>&1 &
      echo $! >"$OUT/fuzzer.pid"
      wait $!
      local rc=$?
      : >"$OUT/fuzzer.pid"
      kill "$ticker" 2>/dev/null; wait "$ticker" 2>/dev/null
      [ "$rc" -eq 0 ] || say "fuzz_$target ended with exit $rc"
    fi
    fuzz_merge "$target" "$dir" "$seed" "$build"
  done
}

# Memory a target may use before libFuzzer calls it an out-of-memory. The PDF
# target runs in-process what the server runs in its limited helper, where
# qpdf's request for 1 GiB of predictor rows (a 599-byte document can ask for
# that) fails and is answered PDF_TOO_COMPLEX; here it is simply granted.
rss_limit_for() { case "$1" in pdfprepare) echo 4096 ;; *) echo 2048 ;; esac; }

# Inputs of the working corpus that add coverage to the checked-in one go into it,
# minimised by libFuzzer's merge (which itself only reads them).
fuzz_merge() {
  local target="$1" dir="$2" seed="$3" build="$4"
  local files_before bytes_before files_after bytes_after
  files_before=$(dir_files "$seed"); bytes_before=$(dir_bytes "$seed")
  "$build/fuzz/fuzz_$target" -merge=1 -max_len=4096 -timeout=10 -rss_limit_mb="$(rss_limit_for "$target")" \
    "$seed" "$dir/corpus" >"$dir/merge.log" 2>&1 || say "fuzz_$target: merge failed, see $dir/merge.log"
  files_after=$(dir_files "$seed"); bytes_after=$(dir_bytes "$seed")
  local execs cov ft crashes
  execs=$(grep -aoE 'stat::number_of_executed_units: *[0-9]+' "$dir/fuzz.log" | grep -oE '[0-9]+$' | tail -n 1)
  [ -n "$execs" ] || execs=$(grep -aoE '^#[0-9]+' "$dir/fuzz.log" | tail -n 1 | tr -d '#')
  cov=$(grep -aoE 'cov: [0-9]+' "$dir/fuzz.log" | tail -n 1 | grep -oE '[0-9]+')
  ft=$(grep -aoE 'ft: [0-9]+' "$dir/fuzz.log" | tail -n 1 | grep -oE '[0-9]+')
  crashes=$(find "$dir/artifacts" -type f | wc -l)
  record "fuzz_$target: executions=${execs:-0} coverage=${cov:-?} features=${ft:-?} crashes=$crashes" \
    "corpus +$((files_after - files_before)) files +$((bytes_after - bytes_before)) bytes" \
    "(now $files_after files)$([ "$crashes" -eq 0 ] || echo " inputs in $dir/artifacts")"
}

# ------------------------------------------------------------ stress under TSan
TSAN_BUILD="$ROOT/build-tsan"
tsan_build() {
  cmake -S "$ROOT" -B "$TSAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQTX_TSAN=ON \
    "${LAUNCHER[@]}" >"$OUT/tsan-build.log" 2>&1 \
    && cmake --build "$TSAN_BUILD" -j2 "$@" >>"$OUT/tsan-build.log" 2>&1
}

# Reports of both the client and the server (which runs under its own account and
# inherits the environment) go to files in one folder that every account may add
# to but not list.
tsan_env() {
  local reports="$1"
  mkdir -p "$reports"
  chmod 1733 "$reports"
  echo "suppressions=$ROOT/tests/tsan.supp ignore_noninstrumented_modules=1 halt_on_error=0 log_path=$reports/tsan"
}
tsan_reports() { cat "$1"/tsan* 2>/dev/null | grep -c '^WARNING: ThreadSanitizer' ; }

stress_all() {
  if ! tsan_build --target tst_stress QuorvexCryptoProvider qtx-provision example-modules; then
    record "stress: ThreadSanitizer build failed, see $OUT/tsan-build.log"
    return 1
  fi
  local dir="$OUT/stress" reports left round n=0 t0
  mkdir -p "$dir"
  reports="$dir/tsan-reports"
  local options; options=$(tsan_env "$reports")
  t0=$(date +%s)
  left=$STRESS_SECONDS
  while ! stopped && [ "$left" -ge 30 ]; do
    n=$((n + 1))
    round=$ROUND_SECONDS
    [ "$round" -le "$left" ] || round=$left
    say "stress round $n: ${round}s against the ThreadSanitizer server (log $dir/round-$n.log)"
    # The lock is taken per round and held by flock itself (-o), not by the server
    # the client starts. Qt Test's watchdog (300 s by default) gets the round's
    # time plus the server's start and the recovery check.
    flock -o /tmp/qtx-server.lock env QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="$options" \
      QTX_STRESS_SECONDS="$round" QTEST_FUNCTION_TIMEOUT=$(( (round + 600) * 1000 )) \
      "$TSAN_BUILD/tests/stress/tst_stress" >"$dir/round-$n.log" 2>&1
    local rc=$?
    grep -aE '^stress: (ran|jobs-accepted|errors)' "$dir/round-$n.log" | sed "s/^/[round $n] /"
    [ "$rc" -eq 0 ] || say "stress round $n failed (exit $rc); see $dir/round-$n.log"
    left=$(( STRESS_SECONDS - ($(date +%s) - t0) ))
  done
  local sum
  sum() { cat "$dir"/round-*.log 2>/dev/null | grep -aoE "$1=[0-9]+" | awk -F= '{s+=$2} END {print s+0}'; }
  local failed; failed=$(grep -l '^FAIL!' "$dir"/round-*.log 2>/dev/null | wc -l)
  record "stress (ThreadSanitizer): rounds=$n seconds=$(( $(date +%s) - t0 )) requests=$(sum requests)" \
    "replies=$(sum replies) connections=$(sum connections) jobs=$(sum jobs-accepted)" \
    "results=$(sum results-delivered) invariant-errors=$(sum errors) failed-rounds=$failed" \
    "reports=$(tsan_reports "$reports") (logs in $dir)"
}

# ----------------------------------------------------- whole suite under TSan
suite_runs() {
  [ "$SUITE_RUNS" -gt 0 ] || return 0
  if ! tsan_build; then
    record "suite: ThreadSanitizer build failed, see $OUT/tsan-build.log"
    return 1
  fi
  local i clean=0
  for ((i = 1; i <= SUITE_RUNS; i++)); do
    stopped && break
    say "ThreadSanitizer suite run $i of $SUITE_RUNS"
    # The suites set their own TSAN_OPTIONS (halt_on_error=1): a report fails the test.
    if flock -o /tmp/qtx-server.lock ctest --test-dir "$TSAN_BUILD" --output-on-failure >"$OUT/suite-$i.log" 2>&1; then
      clean=$((clean + 1))
      grep -aE 'tests passed' "$OUT/suite-$i.log"
    else
      grep -aE 'tests passed|\(Failed\)|\(Timeout\)|Subprocess' "$OUT/suite-$i.log"
      break
    fi
  done
  record "suite (ThreadSanitizer): consecutive clean runs=$clean of $((i - 1)) started"
}

say "results in $OUT"
fuzz_pid="" stress_pid=""
if [ "$FUZZ_SECONDS" -gt 0 ] || [ "$FUZZ_RUNS" -gt 0 ]; then fuzz_all & fuzz_pid=$!; fi
if [ "$STRESS_SECONDS" -gt 0 ]; then stress_all & stress_pid=$!; fi
# wait returns early when a signal arrives; the children got it too and finish.
for pid in $fuzz_pid $stress_pid; do
  while kill -0 "$pid" 2>/dev/null; do wait "$pid"; done
done
stopped || suite_runs
echo "==> summary ($SUMMARY)"
cat "$SUMMARY"
