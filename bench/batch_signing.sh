#!/usr/bin/env bash
# A batch of digests through the real server under one consent and one log-in
# against the same number of `pkcs11-tool --sign` runs on the same SoftHSM2
# token (the Signer batch suite's token and server; the consent answered by
# its test hook as soon as the dialog shows). Prints one line per round.
#   bench/batch_signing.sh [build dir] [documents] [rounds]
# Takes the shared lock for each round.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
COUNT=${2:-100}
ROUNDS=${3:-3}
SUITE="$BUILD/tests/signer/tst_signbatch"
[ -x "$SUITE" ] || { echo "batch_signing: build tst_signbatch first (cmake --build $BUILD --target tst_signbatch)"; exit 2; }
for _ in $(seq "$ROUNDS"); do
  QTX_BATCH_BENCH=$COUNT flock -o /tmp/qtx-server.lock "$SUITE" batchTiming 2>&1 | grep '^batch of' \
    || { echo "batch_signing: the round failed"; exit 1; }
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
