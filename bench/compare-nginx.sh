#!/usr/bin/env bash
# Our server and nginx side by side in one run, through ../shared/anchor-bench
# (or ANCHOR_BENCH): keep-alive with 32 connections, a new TLS connection per
# request, one connection with one request at a time (compare.sh, ROUNDS
# rounds, interleaved), then the module call round trip of our server
# (KeepAlive/Ping 202, then GET_RESULT to 200, one connection; the C++ client
# bench/module_roundtrip) beside the same client's two requests to nginx (the
# least that row can show); then whether the figure stays flat as the work
# grows: keep-alive with 1,000 connections (both servers), and our server at 32
# connections again once it holds 10,000 open sessions and 10,000 stored
# results (bench/fill_sessions.py), each with the server's CPU per request.
#   bench/compare-nginx.sh [build dir]
# Builds what it needs, starts both servers on free loopback ports, stops them
# by pid at the end. Run it under flock /tmp/qtx-server.lock.
set -euo pipefail
ROOT_DIR="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT_DIR/build}"
ANCHOR="${ANCHOR_BENCH:-$ROOT_DIR/../../shared/anchor-bench}"
[ -x "$ANCHOR/compare.sh" ] || ANCHOR=/work/shared/anchor-bench
[ -x "$ANCHOR/compare.sh" ] || { echo "anchor-bench not found; set ANCHOR_BENCH" >&2; exit 2; }
for c in wrk nginx curl openssl; do
  if ! command -v $c >/dev/null && [ ! -x /usr/sbin/$c ]; then
    [ "$(id -u)" -eq 0 ] || { echo "$c missing: run $ANCHOR/setup.sh as root" >&2; exit 2; }
    "$ANCHOR/setup.sh" >&2   # nginx-light wrk openssl hyperfine curl, non-interactive
  fi
done

cmake --build "$BUILD" --target QuorvexCryptoProvider qtx-provision example-modules module_roundtrip >/dev/null

# 1,000 connections need more than the usual 1024 descriptors, in both servers and wrk.
ulimit -n 8192 2>/dev/null || true
WORK=$(mktemp -d)
SERVER_PID=""
NGINX_PORT=""
cleanup() {
  [ -n "$SERVER_PID" ] && kill -INT "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null || true
  [ -n "$NGINX_PORT" ] && "$ANCHOR/nginx.sh" stop "$NGINX_PORT" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'; }
PORT=$(free_port)
[ "$(id -u)" -eq 0 ] || PORT=$((PORT - 1))   # a user instance listens one above the configured port
# Under a name of its own: one server per account and executable name may run,
# and this one must not meet a server the account already runs (scripts/run.sh's).
cp "$BUILD/bin/QuorvexCryptoProvider" "$WORK/QuorvexCryptoProvider-bench"
mkdir -p "$WORK/modules" && cp "$BUILD"/modules/*.so "$BUILD"/modules/*.xml "$WORK/modules/" 2>/dev/null || true
cat > "$WORK/QuorvexCryptoProvider.ini" <<INI
[listener]
port=$PORT
readTimeout=30000
maxConnections=2000
maxConnectionsPerClient=2000
[dllLoader]
dirPath=modules
[timeout]
interval=600000
[limits]
maxSessions=20000
maxResultsPerClient=20000
INI
# The instance's key store lives under its own XDG_CONFIG_HOME.
export XDG_CONFIG_HOME="$WORK/config"
"$BUILD/bin/qtx-provision" >/dev/null
# In a session of its own, as the installed service runs and as nginx runs here:
# with the kernel's autogroups, a server in the session of wrk would share one
# scheduling group with the load generator instead of competing with it as a
# group. (setsid execs in place: the subshell is no process group leader, so the
# pid stays the server's.)
(cd "$WORK" && XDG_CONFIG_HOME="$WORK/config" exec setsid ./QuorvexCryptoProvider-bench -console >/dev/null 2>&1) &
SERVER_PID=$!
LISTEN=$PORT; [ "$(id -u)" -eq 0 ] || LISTEN=$((PORT + 1))
CA="$WORK/config/Quorvex/QuorvexCryptoProvider/certs/QTX-ca.pem"
for _ in $(seq 100); do curl -s --cacert "$CA" -X POST "https://127.0.0.1:$LISTEN/SERVER_VERSION" >/dev/null 2>&1 && break; sleep 0.1; done
SID=$(curl -s --cacert "$CA" -X POST "https://127.0.0.1:$LISTEN/KeepAlive" -d "cmd=OPEN_SESSION")
[[ $SID =~ ^\{ ]] || { echo "no session from our server: $SID" >&2; exit 1; }
export SID

NGINX_PORT=$(free_port)
"$ANCHOR/nginx.sh" start "$NGINX_PORT" >/dev/null

RAW="$WORK/raw.txt"
echo "our server pid $SERVER_PID on port $LISTEN, nginx on $NGINX_PORT; ROUNDS=${ROUNDS:-3}" >&2
RAW_OUT="$RAW" "$ANCHOR/compare.sh" "$LISTEN" ours "$NGINX_PORT" nginx
"$BUILD/bench/module_roundtrip" --connect "$LISTEN" "$CA" "$SID" 2000 | sed 's/^/ours /' >> "$RAW"
# The same client's two requests against nginx, which does no work: the floor of that row.
"$BUILD/bench/module_roundtrip" --floor "$NGINX_PORT" 2000 | sed 's/^/nginx /' >> "$RAW"

# Flat as the work grows.
. "$ANCHOR/lib.sh"
wrk_line() {  # label prefix port connections
  local report pids before after
  # The server's CPU per request, as compare.sh reports it for the rows above:
  # whether the server's own cost stays flat, apart from what wrk takes.
  mapfile -t pids < <(ss -ltnpH "sport = :$3" 2>/dev/null | grep -o 'pid=[0-9]*' | cut -d= -f2 | sort -u)
  before=$(cpu_ticks "${pids[@]}")
  report=$(wrk -t2 -c"$4" -d"${KA_DUR:-10s}" --latency -s "$ANCHOR/wrk/post.lua" "https://127.0.0.1:$3/ALIVE" 2>&1)
  after=$(cpu_ticks "${pids[@]}")
  echo "$1 $2_rps $(wrk_rps <<<"$report")"
  echo "$1 $2_p99_ms $(wrk_pct 99 <<<"$report")"
  echo "$1 $2_errors $(wrk_errors <<<"$report")"
  awk -v label="$1 $2_cpu_us" -v hz="$(getconf CLK_TCK)" -v t="$([ "$before" = NA ] || [ "$after" = NA ] && echo NA || echo $((after - before)))" \
    '$2 == "requests" && $3 == "in" { n = $1 } END { if (t != "NA" && n) printf "%s %.1f\n", label, t * 1e6 / hz / n }' <<<"$report"
}
for _ in $(seq "${ROUNDS:-3}"); do
  wrk_line ours ka1000 "$LISTEN" 1000 >> "$RAW"
  wrk_line nginx ka1000 "$NGINX_PORT" 1000 >> "$RAW"
done
echo "filling our server with 10,000 sessions and 10,000 stored results" >&2
"$ROOT_DIR/bench/fill_sessions.py" "$LISTEN" "$CA" 10000 | sed 's/^/ours /' >> "$RAW"
for _ in $(seq "${ROUNDS:-3}"); do
  wrk_line ours kafull "$LISTEN" 32 >> "$RAW"
done

# The table of the performance issue: medians, and ours/nginx (rates) or
# nginx/ours (times), so that 1.0 means "as good as nginx" in every row.
awk '
function med(l, m,   n, i, j, t, a) {
  n = cnt[l, m]; if (!n) return "NA"
  for (i = 1; i <= n; i++) a[i] = v[l, m, i]
  for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
  return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
NF == 3 && $3 ~ /^[0-9.]+$/ { v[$1, $2, ++cnt[$1, $2]] = $3 }
NF == 3 && $2 ~ /errors/ && $3 !~ /^[0-9.]+$/ { v[$1, $2, ++cnt[$1, $2]] = 0 }
function row(name, pre,   o, n, r) {
  printf "| %s | %s req/s, %s us CPU/req, p50 %s ms, p99 %s ms, %s errors | %s req/s, %s us, p50 %s ms, p99 %s ms, %s errors | %s |\n",
    name, med("ours", pre "_rps"), med("ours", pre "_cpu_us"), med("ours", pre "_p50_ms"), med("ours", pre "_p99_ms"), med("ours", pre "_errors"),
    med("nginx", pre "_rps"), med("nginx", pre "_cpu_us"), med("nginx", pre "_p50_ms"), med("nginx", pre "_p99_ms"), med("nginx", pre "_errors"),
    (med("nginx", pre "_rps") + 0 > 0) ? sprintf("%.3f", med("ours", pre "_rps") / med("nginx", pre "_rps")) : "NA"
}
END {
  print ""
  print "| Metric | This server | nginx | Ratio (rate ours/nginx) |"
  print "|---|---|---|---|"
  row("Keep-alive ALIVE, 32 connections", "keepalive")
  row("New TLS connection per request", "newconn")
  row("One connection, one request at a time", "single")
  printf "| Module call round trip (KeepAlive/Ping 202, then GET_RESULT to 200, one connection) | p50 %s ms, p99 %s ms, %s polls | the same client, two POST /ALIVE: p50 %s ms, p99 %s ms | |\n",
    med("ours", "roundtrip_p50_ms"), med("ours", "roundtrip_p99_ms"), med("ours", "roundtrip_polls"),
    med("nginx", "roundtrip_p50_ms"), med("nginx", "roundtrip_p99_ms")
  printf "| Keep-alive ALIVE, 1,000 connections | %s req/s, %s us CPU/req, p99 %s ms, %s errors | %s req/s, %s us, p99 %s ms, %s errors | %s (ours: %s of our 32-connection figure) |\n",
    med("ours", "ka1000_rps"), med("ours", "ka1000_cpu_us"), med("ours", "ka1000_p99_ms"), med("ours", "ka1000_errors"),
    med("nginx", "ka1000_rps"), med("nginx", "ka1000_cpu_us"), med("nginx", "ka1000_p99_ms"), med("nginx", "ka1000_errors"),
    ratio(med("ours", "ka1000_rps"), med("nginx", "ka1000_rps")), ratio(med("ours", "ka1000_rps"), med("ours", "keepalive_rps"))
  printf "| Keep-alive ALIVE, 32 connections, with %s open sessions and %s stored results (filled in %s s) | %s req/s, %s us CPU/req, p99 %s ms, %s errors | | %s of our 32-connection figure |\n",
    med("ours", "fill_sessions"), med("ours", "fill_results"), med("ours", "fill_seconds"),
    med("ours", "kafull_rps"), med("ours", "kafull_cpu_us"), med("ours", "kafull_p99_ms"), med("ours", "kafull_errors"),
    ratio(med("ours", "kafull_rps"), med("ours", "keepalive_rps"))
}
function ratio(a, b) { return (b + 0 > 0 && a != "NA") ? sprintf("%.3f", a / b) : "NA" }' "$RAW"
