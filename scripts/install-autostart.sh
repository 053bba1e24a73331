#!/usr/bin/env bash
# Starts the server automatically with systemd.
#   scripts/install-autostart.sh user   [install folder]   per-user instance (run as that user)
#   sudo scripts/install-autostart.sh system [install folder]   the dispatcher (system account quorvex-dispatcher)
#   add --remove to disable and delete the unit again.
# The install folder holds QuorvexCryptoProvider and QuorvexCryptoProvider.ini
# (default: build/run/, which scripts/run.sh prepares). Idempotent.
# QTX_NO_SYSTEMCTL=1 only writes the unit file (for packaging and tests).
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage() { echo "usage: $0 user|system [install folder] [--remove]" >&2; exit 2; }

MODE="${1:-}"; shift || true
REMOVE=0
DIR=""
for arg in "$@"; do
  case "$arg" in
    --remove) REMOVE=1 ;;
    -*) usage ;;
    *) DIR="$arg" ;;
  esac
done
DIR="$(realpath -m "${DIR:-$ROOT_DIR/build/run}")"

case "$MODE" in
  user)
    UNIT=quorvex-crypto-provider.service
    UNIT_DIR="${QTX_SYSTEMD_USER_DIR:-${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user}"
    SYSTEMCTL=(systemctl --user)
    LOG_DIR="${XDG_CONFIG_HOME:-$HOME/.config}/Quorvex/QuorvexCryptoProvider/logs"
    [ "$(id -u)" -ne 0 ] || echo "note: installing the per-user unit for root; desktop users run this without sudo" >&2
    ;;
  system)
    UNIT=quorvex-crypto-dispatcher.service
    UNIT_DIR="${QTX_SYSTEMD_SYSTEM_DIR:-/etc/systemd/system}"
    SYSTEMCTL=(systemctl)
    LOG_DIR="/var/lib/quorvex/QuorvexCryptoProvider/.config/Quorvex/QuorvexCryptoProvider/logs"
    if [ "$(id -u)" -ne 0 ] && [ -z "${QTX_SYSTEMD_SYSTEM_DIR:-}" ]; then
      echo "the dispatcher unit is a system unit: run with sudo" >&2
      exit 1
    fi
    ;;
  *) usage ;;
esac

run_systemctl() {
  if [ "${QTX_NO_SYSTEMCTL:-0}" = 1 ]; then
    echo "(skipped) ${SYSTEMCTL[*]} $*"
    return 0
  fi
  "${SYSTEMCTL[@]}" "$@"
}

if [ "$REMOVE" = 1 ]; then
  if [ -f "$UNIT_DIR/$UNIT" ]; then
    run_systemctl disable --now "$UNIT" || true
    rm -f "$UNIT_DIR/$UNIT"
    run_systemctl daemon-reload || true
    echo "Removed $UNIT_DIR/$UNIT"
  else
    echo "$UNIT_DIR/$UNIT is not installed; nothing to remove"
  fi
  exit 0
fi

for f in QuorvexCryptoProvider QuorvexCryptoProvider.ini; do
  if [ ! -e "$DIR/$f" ]; then
    echo "$DIR/$f is missing: give the install folder (scripts/run.sh prepares build/run/)" >&2
    exit 1
  fi
done

# The unit provisions the account's key store before each start.
PROVISION="$DIR/qtx-provision"
[ -x "$PROVISION" ] || PROVISION="$ROOT_DIR/build/bin/qtx-provision"
[ -x "$PROVISION" ] || PROVISION="$(command -v qtx-provision || true)"
if [ -z "$PROVISION" ]; then
  echo "qtx-provision not found (build it: cmake --build build --target qtx-provision)" >&2
  exit 1
fi

# A system unit runs these files with privileges no user has: every one of them,
# and every folder above it, must be root's and writable by nobody else, or the
# user who may write there decides what runs (a build tree in a home is not).
root_only_problem() { # root_only_problem <path>: why the path is not root's alone, or nothing
  local path
  path="$(realpath -e "$1" 2>/dev/null)" || { echo "$1 does not exist"; return; }
  while :; do
    local owner mode
    read -r owner mode < <(stat -c '%u %a' "$path")
    if [ "$owner" != 0 ]; then echo "$path belongs to uid $owner, not to root"; return; fi
    if (( 8#$mode & 8#022 )); then echo "$path is writable by its group or by others (mode $mode)"; return; fi
    [ "$path" = / ] && return
    path="$(dirname "$path")"
  done
}
if [ "$MODE" = system ]; then
  problems=()
  for f in "$DIR/QuorvexCryptoProvider" "$DIR/QuorvexCryptoProvider.ini" "$PROVISION" \
           "$DIR/ver.ini" "$DIR/modules" $(find "$DIR/modules" -mindepth 1 2>/dev/null); do
    [ -e "$f" ] || [ "$f" = "$DIR/ver.ini" ] || [ "$f" = "$DIR/modules" ] || { problems+=("$f does not exist"); continue; }
    [ -e "$f" ] || continue
    problem=$(root_only_problem "$f")
    [ -z "$problem" ] || problems+=("$problem")
  done
  if [ ${#problems[@]} -gt 0 ]; then
    printf 'refusing to install a system unit that runs files root does not own alone:\n' >&2
    printf '  %s\n' "${problems[@]}" | sort -u >&2
    echo "copy the install folder to a root-owned place first, e.g.: sudo cp -r $DIR /opt/quorvex-crypto-provider" >&2
    exit 1
  fi
fi

# The dispatcher runs as its own system account, with its key store in /var/lib.
if [ "$MODE" = system ]; then
  if [ "${QTX_NO_SYSTEMCTL:-0}" = 1 ]; then
    echo "(skipped) account quorvex-dispatcher and /var/lib/quorvex/QuorvexCryptoProvider"
  else
    id -u quorvex-dispatcher >/dev/null 2>&1 \
      || useradd --system --user-group --no-create-home --home-dir /var/lib/quorvex/QuorvexCryptoProvider \
           --shell /usr/sbin/nologin --comment "Quorvex Crypto Provider dispatcher" quorvex-dispatcher
    install -d -m 0755 -o root -g root /var/lib/quorvex
    install -d -m 0755 -o quorvex-dispatcher -g quorvex-dispatcher /var/lib/quorvex/QuorvexCryptoProvider
  fi
fi

mkdir -p "$UNIT_DIR"
NEW="$(sed "s|@INSTALL_DIR@|$DIR|g; s|@PROVISION@|$(realpath "$PROVISION")|g" "$ROOT_DIR/packaging/systemd/$UNIT")"
CHANGED=1
if [ -f "$UNIT_DIR/$UNIT" ] && [ "$(cat "$UNIT_DIR/$UNIT")" = "$NEW" ]; then
  CHANGED=0
  echo "Kept $UNIT_DIR/$UNIT"
else
  printf '%s\n' "$NEW" > "$UNIT_DIR/$UNIT"
  echo "Wrote $UNIT_DIR/$UNIT (server: $DIR/QuorvexCryptoProvider)"
fi
run_systemctl daemon-reload
run_systemctl enable --now "$UNIT"
# An instance started from an older unit keeps its old settings until restarted.
[ "$CHANGED" = 0 ] || run_systemctl try-restart "$UNIT"
echo "Status: ${SYSTEMCTL[*]} status $UNIT"
echo "Log:    $LOG_DIR/QuorvexCryptoProvider.log"
