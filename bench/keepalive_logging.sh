#!/usr/bin/env bash
# Keep-alive throughput of the real server at the default log level (no
# logLevel key: root DEBUG, file INFO), measured with ../shared/anchor-bench's
# run.sh, plus the log lines written per request. Not part of the test command.
#   bench/keepalive_logging.sh [build dir] [anchor-bench dir]
# Run it under the shared lock: flock /tmp/qtx-server.lock bench/keepalive_logging.sh
set -euo pipefail
ROOT_DIR="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT_DIR/build}"
ANCHOR="${2:-$ROOT_DIR/../../shared/anchor-bench}"
[ -x "$ANCHOR/run.sh" ] || { echo "anchor-bench not found at $ANCHOR" >&2; exit 2; }

WORK=$(mktemp -d)
SERVER_PID=""
cleanup() { [ -n "$SERVER_PID" ] && kill -INT "$SERVER_PID" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')
[ "$(id -u)" -eq 0 ] || PORT=$((PORT - 1))
cp "$BUILD/bin/QuorvexCryptoProvider" "$WORK/QuorvexCryptoProvider-bench"   # a name of its own (bench/compare-nginx.sh)
cat > "$WORK/QuorvexCryptoProvider.ini" <<INI
[listener]
port=$PORT
maxThreads=100
readTimeout=30000
[timeout]
interval=600000
INI
# The instance's key store lives under its own XDG_CONFIG_HOME.
export XDG_CONFIG_HOME="$WORK/config"
"$BUILD/bin/qtx-provision" >/dev/null
# In a session of its own, as the installed service runs (see bench/compare-nginx.sh).
(cd "$WORK" && XDG_CONFIG_HOME="$WORK/config" exec setsid ./QuorvexCryptoProvider-bench -console 2>/dev/null) &
SERVER_PID=$!
LISTEN=$PORT; [ "$(id -u)" -eq 0 ] || LISTEN=$((PORT + 1))
LOG_DIR="$WORK/config/Quorvex/QuorvexCryptoProvider/logs"
for _ in $(seq 50); do grep -q "Listening on port" "$LOG_DIR"/*.log 2>/dev/null && break; sleep 0.2; done

# A session of our own: ALIVE without one is answered 418.
SID=$(curl -sk -D - -o /dev/null -X POST -H 'Content-Length: 0' "https://127.0.0.1:$LISTEN/OPEN_SESSION" \
  | tr -d '\r' | awk -F': ' 'tolower($1) == "x-qtx-sessionid" {print $2}')
export SID
lines() { cat "$LOG_DIR"/QuorvexCryptoProvider.log* 2>/dev/null | wc -l; }
before=$(lines)
curl -sk -o /dev/null -X POST -H 'Content-Length: 0' -H "X-QTX-sessionId: $SID" \
  "https://127.0.0.1:$LISTEN/ALIVE" "https://127.0.0.1:$LISTEN/ALIVE"
sleep 0.5
echo "log lines for one connection with two /ALIVE requests: $(( $(lines) - before ))"
KA_DUR=${KA_DUR:-10s} NEW_DUR=${NEW_DUR:-2s} SINGLE_DUR=${SINGLE_DUR:-2s} "$ANCHOR/run.sh" "$LISTEN" server
