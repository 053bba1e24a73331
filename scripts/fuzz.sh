#!/usr/bin/env bash
# Fuzzes the HTTP request parser with libFuzzer for a given time.
#   scripts/fuzz.sh [seconds]      (default 60)
# Installs clang-14 and its sanitizer runtimes when missing, builds only the fuzz
# target in build-fuzz/, and runs it on a scratch copy of fuzz/corpus/.
set -euo pipefail

SECONDS_TO_RUN="${1:-60}"
if ! [[ "$SECONDS_TO_RUN" =~ ^[0-9]+$ ]] || [ "$SECONDS_TO_RUN" -lt 1 ]; then
  echo "usage: $0 [seconds]" >&2
  exit 2
fi

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build-fuzz"

missing=()
command -v clang++-14 >/dev/null 2>&1 || missing+=(clang-14)
# The libFuzzer runtime ships with the compiler-rt package.
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
  || missing+=(libclang-rt-14-dev)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

CC=clang-14 CXX=clang++-14 cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQTX_FUZZ=ON -DQTX_FUZZ_ONLY=ON -DQTX_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target fuzz_httprequest -j2

WORK="$(mktemp -d "${TMPDIR:-/tmp}/qtx-fuzz.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
cp -r "$ROOT/fuzz/corpus" "$WORK/corpus"
mkdir -p "$WORK/artifacts"

set +e
"$BUILD/fuzz/fuzz_httprequest" "$WORK/corpus" \
  -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$WORK/artifacts/" -print_final_stats=1 2>"$WORK/fuzz.log"
rc=$?
set -e

grep -E '^Done [0-9]+ runs' "$WORK/fuzz.log" || tail -n 40 "$WORK/fuzz.log"
if [ "$rc" -ne 0 ]; then
  tail -n 60 "$WORK/fuzz.log"
  mkdir -p "$BUILD/crashes"
  cp "$WORK"/artifacts/* "$BUILD/crashes/" 2>/dev/null || true
  echo "fuzzing failed (exit $rc); reproducers in $BUILD/crashes/" >&2
  exit "$rc"
fi
