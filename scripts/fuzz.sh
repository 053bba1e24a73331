#!/usr/bin/env bash
# Fuzzes the HTTP request parser, the module command-file reader, the
# signature-block reader, the PDF signature preparation (pdfprepare) and the
# checks of timestamp/OCSP/CRL replies (signingreplies) with libFuzzer.
#   scripts/fuzz.sh [seconds] [target...]
# seconds (default 60) is the total, split evenly over the targets (default: all
# five: httprequest cxmlreader modulereader pdfprepare signingreplies). Installs clang-14 and its
# sanitizer runtimes when missing, builds only the fuzz targets in build-fuzz/,
# and runs each on a scratch copy of its corpus (fuzz/corpus for the HTTP
# parser, fuzz/corpus_<target> for the others).
set -euo pipefail

SECONDS_TO_RUN="${1:-60}"
if ! [[ "$SECONDS_TO_RUN" =~ ^[0-9]+$ ]] || [ "$SECONDS_TO_RUN" -lt 1 ]; then
  echo "usage: $0 [seconds] [httprequest|cxmlreader|modulereader|pdfprepare|signingreplies...]" >&2
  exit 2
fi
shift || true
TARGETS=("$@")
[ "${#TARGETS[@]}" -gt 0 ] || TARGETS=(httprequest cxmlreader modulereader pdfprepare signingreplies)
for target in "${TARGETS[@]}"; do
  case "$target" in
    httprequest|cxmlreader|modulereader|pdfprepare|signingreplies) ;;
    *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
  esac
done
PER_TARGET=$(( SECONDS_TO_RUN / ${#TARGETS[@]} ))
[ "$PER_TARGET" -ge 1 ] || PER_TARGET=1

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build-fuzz"

missing=()
command -v clang++-14 >/dev/null 2>&1 || missing+=(clang-14)
# The libFuzzer runtime ships with the compiler-rt package.
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
  || missing+=(libclang-rt-14-dev)
# The signature-format targets read documents with qpdf and use p11-kit's headers.
for pkg in libqpdf-dev libp11-kit-dev; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

CC=clang-14 CXX=clang++-14 cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQTX_FUZZ=ON -DQTX_FUZZ_ONLY=ON -DQTX_BUILD_TESTS=OFF >/dev/null
build_targets=()
for target in "${TARGETS[@]}"; do build_targets+=("fuzz_$target"); done
cmake --build "$BUILD" --target "${build_targets[@]}" -j2

WORK="$(mktemp -d "${TMPDIR:-/tmp}/qtx-fuzz.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

# Memory a target may use before libFuzzer calls it an out-of-memory. The PDF
# target runs in-process what the server runs in its limited helper, where
# qpdf's request for 1 GiB of predictor rows (a 599-byte document can ask for
# that) fails and is answered PDF_TOO_COMPLEX; here it is simply granted.
rss_limit_for() { case "$1" in pdfprepare) echo 4096 ;; *) echo 2048 ;; esac; }

# AddressSanitizer without allocation stacks: recording one per malloc took
# half of the PDF target's time (qpdf and OpenSSL allocate a lot). Faults are
# still caught and reported where they happen; run a reproducer with
# ASAN_OPTIONS= unset to see where the memory was allocated.
export ASAN_OPTIONS="${ASAN_OPTIONS:-malloc_context_size=0}"

failed=0
for target in "${TARGETS[@]}"; do
  corpus="$ROOT/fuzz/corpus_$target"
  [ "$target" = httprequest ] && corpus="$ROOT/fuzz/corpus"
  mkdir -p "$WORK/$target/artifacts"
  cp -r "$corpus" "$WORK/$target/corpus"
  echo "==> fuzz_$target for ${PER_TARGET}s"
  set +e
  "$BUILD/fuzz/fuzz_$target" "$WORK/$target/corpus" \
    -max_total_time="$PER_TARGET" -max_len=4096 -timeout=10 -rss_limit_mb="$(rss_limit_for "$target")" \
    -artifact_prefix="$WORK/$target/artifacts/" -print_final_stats=1 2>"$WORK/$target/fuzz.log"
  rc=$?
  set -e
  grep -E '^Done [0-9]+ runs|stat::number_of_executed_units' "$WORK/$target/fuzz.log" || tail -n 40 "$WORK/$target/fuzz.log"
  if [ "$rc" -ne 0 ]; then
    tail -n 60 "$WORK/$target/fuzz.log"
    mkdir -p "$BUILD/crashes/$target"
    cp "$WORK/$target"/artifacts/* "$BUILD/crashes/$target/" 2>/dev/null || true
    echo "fuzz_$target failed (exit $rc); reproducers in $BUILD/crashes/$target/" >&2
    failed="$rc"
  fi
done
exit "$failed"
