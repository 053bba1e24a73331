#!/usr/bin/env bash
# Builds the server and runs it in the foreground from build/run/ with the
# example modules on the embedded defaults. Ctrl-C stops it. On a desktop
# (DISPLAY or WAYLAND_DISPLAY set) it runs as the GUI application, so GUI
# module functions work; without a display as the console application.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
echo "==> Building (build/)"
configure_and_build_targets "$ROOT_DIR/build" "-DCMAKE_BUILD_TYPE=RelWithDebInfo" \
  QuorvexCryptoProvider qtx-provision qtx-verini example-modules

RUN_DIR="$ROOT_DIR/build/run"
echo "==> Preparing $RUN_DIR"
mkdir -p "$RUN_DIR"
cp -f "$ROOT_DIR/build/bin/QuorvexCryptoProvider" "$RUN_DIR/"
INI="$RUN_DIR/QuorvexCryptoProvider.ini"
[ -f "$INI" ] || cp "$ROOT_DIR/app/QuorvexCryptoProvider.ini" "$INI"
PORT=$(sed -n 's/^port=//p' "$INI" | head -n1)

echo "==> Installing the signed example modules and the signed version file"
mkdir -p "$RUN_DIR/modules"
for module in "$ROOT_DIR"/build/modules/*.so; do
  name=$(basename "$module" .so)
  cp -f "$module" "$RUN_DIR/modules/"
  [ -f "$ROOT_DIR/build/modules/$name.xml" ] && cp -f "$ROOT_DIR/build/modules/$name.xml" "$RUN_DIR/modules/"
  # A module's own dependencies live in a folder named like the module.
  [ -d "$ROOT_DIR/build/modules/$name" ] && cp -rf "$ROOT_DIR/build/modules/$name" "$RUN_DIR/modules/"
done
cp -f "$ROOT_DIR/build/ver.ini" "$RUN_DIR/ver.ini"

# Absolute paths, so that what this script prints works from any folder and the
# server, started in build/run/, finds the same data folder and key store.
if [ -n "${XDG_CONFIG_HOME:-}" ]; then
  XDG_CONFIG_HOME="$(realpath -m "$XDG_CONFIG_HOME")"
  export XDG_CONFIG_HOME
fi
DATA_DIR="$(realpath -m "${XDG_CONFIG_HOME:-$HOME/.config}")/Quorvex/QuorvexCryptoProvider"
# A source-tree run keeps its own key store, apart from the package's (root's
# /var/lib store, which purging the package deletes, or the account's own one):
# its authority stays the one the browsers were told to trust.
export QTX_KEY_DIR="$DATA_DIR/source-tree"
CA="$QTX_KEY_DIR/certs/QTX-ca.pem"
echo "==> Provisioning this account's TLS certificate and key ($QTX_KEY_DIR), trusted by its browsers"
# The authority goes into this account's browsers (~/.pki/nssdb, Firefox
# profiles) under a nickname of its own, beside the package's if there is one.
"$ROOT_DIR/build/bin/qtx-provision" --trust

echo
echo "Server: $RUN_DIR/QuorvexCryptoProvider"
TRY_PORT="<port>"
DISPATCHER_ACCOUNT=$(sed -n 's/^dispatcherAccount=//p' "$INI" | head -n1)
if [ "$(id -u)" -eq 0 ] && ! id -u "${DISPATCHER_ACCOUNT:-root}" >/dev/null 2>&1 || [ "$(id -un)" = "${DISPATCHER_ACCOUNT:-root}" ]; then
  TRY_PORT=$PORT
  echo "Port:   $PORT (this instance is the dispatcher: [listener] dispatcherAccount=${DISPATCHER_ACCOUNT} does not exist here, so root's is)"
else
  echo "Port:   the first free port from $((PORT + 1)) upwards (per-user instance; the log line \"Listening on port N\" names it)"
fi
echo "Log:    $DATA_DIR/logs/QuorvexCryptoProvider.log"
echo "Keys:   $QTX_KEY_DIR (this account's alone: folders 0700, files 0600)"
echo "CA:     $CA"
echo "Try:    curl --cacert $CA -X POST https://127.0.0.1:$TRY_PORT/SERVER_VERSION"
echo "Demo:   cd $ROOT_DIR/web && python3 -m http.server 8080 --bind 127.0.0.1, then open http://localhost:8080/demo/"
echo "        (this account's browsers trust the authority already; restart a browser that was running)"
echo "Stop:   Ctrl-C"
cd "$RUN_DIR"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  # No display: the console application, attached to this terminal.
  echo
  exec ./QuorvexCryptoProvider -console
fi

# A desktop: the GUI application, so GUI functions (ConfirmDialog) show their
# dialogs on this display (the server falls back to offscreen with a WARN line
# when the display cannot be reached). It leaves the terminal's streams, so its
# log is followed here; it stays a child of this script, which hands Ctrl-C on.
echo "Mode:   desktop (GUI functions on ${DISPLAY:-$WAYLAND_DISPLAY}); the log follows"
echo
LOG="$DATA_DIR/logs/QuorvexCryptoProvider.log"
# The account's own: folder 0700, file 0600 (as the server makes them).
(umask 077 && mkdir -p "$(dirname "$LOG")" && touch "$LOG")
tail -n 0 -F "$LOG" 2>/dev/null &
TAIL_PID=$!
./QuorvexCryptoProvider &
SERVER_PID=$!
trap 'kill -INT "$SERVER_PID" 2>/dev/null || true' INT TERM
status=0
while kill -0 "$SERVER_PID" 2>/dev/null; do
  wait "$SERVER_PID" && status=0 || status=$?
done
sleep 0.3
kill "$TAIL_PID" 2>/dev/null || true
wait "$TAIL_PID" 2>/dev/null || true
exit "$status"
