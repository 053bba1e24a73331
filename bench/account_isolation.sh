#!/usr/bin/env bash
# Another local account against the user's instance, with real accounts (root
# only): the spoofed client port, the session limit, made-up session ids and a
# TEST flood, each with the user's own latency beside it. Prints one line per
# measurement. Needs a built tree (scripts/run.sh prepares build/run).
#   bench/account_isolation.sh [build dir]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
[ "$(id -u)" -eq 0 ] || { echo "account_isolation: run as root (it creates two accounts)"; exit 2; }
USER_ACCOUNT=qtxisouser
OTHER_ACCOUNT=qtxisoother
for account in "$USER_ACCOUNT" "$OTHER_ACCOUNT"; do
  id "$account" >/dev/null 2>&1 || useradd -M -r -U -s /usr/sbin/nologin "$account"
done
[ -x "$BUILD/bin/QuorvexCryptoProvider" ] && [ -d "$BUILD/modules" ] \
  || { echo "account_isolation: build first (scripts/run.sh or scripts/test.sh)"; exit 2; }

DIR=$(mktemp -d)
SERVER_PID=
cleanup() { [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null; wait 2>/dev/null; rm -rf "$DIR"; }
trap cleanup EXIT
[ -n "${KEEP:-}" ] && trap - EXIT
chmod 755 "$DIR"
# An install as scripts/run.sh makes one: the server, the shipped INI, the
# signed example modules and version file.
cp "$ROOT/app/QuorvexCryptoProvider.ini" "$BUILD/ver.ini" "$DIR/"
# Under a name of its own, apart from any server the account runs (bench/compare-nginx.sh).
cp "$BUILD/bin/QuorvexCryptoProvider" "$DIR/QuorvexCryptoProvider-bench"
cp -r "$BUILD/modules" "$DIR/modules"
mkdir -p "$DIR/config"
chown -R "$USER_ACCOUNT:$USER_ACCOUNT" "$DIR"
as() { local account=$1; shift; setpriv --reuid="$account" --regid="$account" --init-groups -- "$@"; }
# The key opens only for the account it was made for: provision as the user.
XDG_CONFIG_HOME=$DIR/config as "$USER_ACCOUNT" "$BUILD/bin/qtx-provision" >"$DIR/provision.out" 2>&1 \
  || { echo "account_isolation: provisioning failed"; cat "$DIR/provision.out"; exit 1; }

# setpriv executes the server in place: $! is the server's pid.
XDG_CONFIG_HOME=$DIR/config QT_QPA_PLATFORM=offscreen \
  setpriv --reuid="$USER_ACCOUNT" --regid="$USER_ACCOUNT" --init-groups -- "$DIR/QuorvexCryptoProvider-bench" -console \
  >"$DIR/server.out" 2>&1 &
SERVER_PID=$!
LOG=$DIR/config/Quorvex/QuorvexCryptoProvider/logs/QuorvexCryptoProvider.log
PORT=
for _ in $(seq 100); do
  PORT=$(grep -ao 'Listening on port [0-9]*' "$LOG" 2>/dev/null | tail -n1 | awk '{print $4}') || true
  [ -n "$PORT" ] && break
  sleep 0.1
done
[ -n "$PORT" ] || { echo "account_isolation: the server did not start"; cat "$DIR/server.out"; exit 1; }
# The user's authority, copied where the other account may read it (the
# attacker knows the certificate anyway: the server presents it).
CA=$DIR/ca.pem
install -m 0644 "$DIR/config/Quorvex/QuorvexCryptoProvider/certs/QTX-ca.pem" "$CA"
TOOL=(/usr/bin/python3 "$ROOT/bench/account_isolation.py" "$PORT" "$CA")
rss() { awk '/VmRSS/ {print $2 " kB"}' "/proc/$SERVER_PID/status"; }
forks() { awk '/^processes/ {print $2}' /proc/stat; }
echo "account_isolation: $USER_ACCOUNT's instance on port $PORT (pid $SERVER_PID), attacker $OTHER_ACCOUNT"

# 1. The client port of one of the user's connections, from another loopback address.
setpriv --reuid="$USER_ACCOUNT" --regid="$USER_ACCOUNT" --init-groups -- "${TOOL[@]}" hold 15 >"$DIR/hold.out" &
HOLD=$!
for _ in $(seq 100); do grep -q 'client port' "$DIR/hold.out" && break; sleep 0.1; done
CLIENT_PORT=$(awk '{print $NF}' "$DIR/hold.out")
as "$OTHER_ACCOUNT" "${TOOL[@]}" spoof "$CLIENT_PORT"
grep -a "Client 127.0.0.2:$CLIENT_PORT" "$LOG" | sed 's/^.* - /  log: /' | head -n1
kill "$HOLD" 2>/dev/null || true

# 2. The other account at its session limit; the user opens a session and works.
as "$OTHER_ACCOUNT" "${TOOL[@]}" fill-sessions 20000
as "$USER_ACCOUNT" "${TOOL[@]}" user-latency 200

# 3. Made-up session ids.
echo "RSS before made-up ids: $(rss)"
as "$OTHER_ACCOUNT" "${TOOL[@]}" made-up-ids 50000
echo "RSS after made-up ids: $(rss)"

# 4. TEST from 100 connections of the other account, the user working beside it.
before=$(forks)
as "$OTHER_ACCOUNT" "${TOOL[@]}" test-flood 100 10 &
FLOOD=$!
sleep 1
as "$USER_ACCOUNT" "${TOOL[@]}" user-latency 200
wait "$FLOOD"
echo "processes started during the TEST flood: $(( $(forks) - before )) in about 10 s (this script's own included)"
