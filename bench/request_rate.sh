#!/usr/bin/env bash
# Request throughput and memory of the real server over TLS keep-alive
# connections (wrk), on loopback. Not part of the test command.
#   bench/request_rate.sh [build dir] [seconds] [connections]
set -euo pipefail
ROOT_DIR="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT_DIR/build}"
SECONDS_PER_RUN="${2:-10}"
CONNECTIONS="${3:-8}"
command -v wrk >/dev/null || { echo "wrk is needed: apt-get install wrk" >&2; exit 2; }

WORK=$(mktemp -d)
SERVER_PID=""
cleanup() { [ -n "$SERVER_PID" ] && kill -INT "$SERVER_PID" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')
[ "$(id -u)" -eq 0 ] || PORT=$((PORT - 1))
cp "$BUILD/bin/QuorvexCryptoProvider" "$WORK/QuorvexCryptoProvider-bench"   # a name of its own (bench/compare-nginx.sh)
mkdir -p "$WORK/modules" && cp "$BUILD"/modules/*.so "$BUILD"/modules/*.xml "$WORK/modules/"
cat > "$WORK/QuorvexCryptoProvider.ini" <<INI
[listener]
port=$PORT
maxThreads=100
readTimeout=30000
[logging2]
logLevel=20000
[dllLoader]
dirPath=modules
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
for _ in $(seq 50); do grep -q "Listening on port" "$WORK"/config/Quorvex/QuorvexCryptoProvider/logs/*.log 2>/dev/null && break; sleep 0.2; done

rss() { awk '/VmRSS/ {print $2}' "/proc/$SERVER_PID/status"; }
threads() { awk '/Threads/ {print $2}' "/proc/$SERVER_PID/status"; }
echo "server pid $SERVER_PID on port $LISTEN; RSS at start $(rss) kB, threads $(threads)"

run() {
  local path="$1" body="$2"
  cat > "$WORK/post.lua" <<LUA
wrk.method = "POST"
wrk.body = "$body"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
LUA
  echo "== POST $path ($CONNECTIONS connections, ${SECONDS_PER_RUN}s)"
  wrk -t2 -c"$CONNECTIONS" -d"${SECONDS_PER_RUN}s" --latency -s "$WORK/post.lua" "https://127.0.0.1:$LISTEN$path" \
    | grep -E "Requests/sec|Latency|50%|99%|Non-2xx|requests in"
  echo "   RSS after: $(rss) kB, threads $(threads)"
}
run /ALIVE ""
run /SERVER_VERSION ""
run /OPEN_SESSION ""
