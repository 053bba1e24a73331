#!/usr/bin/env bash
# A batch of digests through the real server under one consent and one log-in
# against the same number of `pkcs11-tool --sign` runs on the same SoftHSM2
# token (bench/batch_signing.cpp makes both itself). Prints one line per round.
#   bench/batch_signing.sh [build dir] [documents] [rounds]
# Takes the shared lock for the run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
COUNT=${2:-100}
ROUNDS=${3:-3}
BENCH="$BUILD/bench/batch_signing"
[ -x "$BENCH" ] || { echo "batch_signing: build it first (cmake --build $BUILD --target batch_signing)"; exit 2; }
flock -o /tmp/qtx-server.lock "$BENCH" "$COUNT" "$ROUNDS"
