#!/usr/bin/env bash
# Install and remove test of the Debian package, as root on this machine:
#   scripts/package-test.sh [build folder]     (default build-deb/, see package.sh)
# Builds the packages (scripts/package.sh, lintian included), checks both systemd
# units with "systemd-analyze verify", installs with apt-get, checks root's key
# store, starts a user instance as an ordinary account the way the user unit does
# (ExecStartPre provisions the account's own key store, checked for modes and for
# what the account can read of root's), drives it from headless Chromium (the demo
# page, trusted through "qtx-provision --trust" in that account's NSS database),
# then removes and purges the packages and checks that nothing of them is left
# (files, trust entries, unit links, accounts) and that a source-tree run's key
# store is untouched.
# Without root it only verifies the units and says why it skipped the rest.
# Ends with "package-test: N passed, M failed". With QTX_SERVER_LOCK=<file> the
# part that runs the server holds that lock (flock).
set -uo pipefail
source "$(dirname "$0")/lib.sh"

BUILD="$(realpath -m "${1:-$ROOT_DIR/build-deb}")"
OUT="$ROOT_DIR/dist"
PKG=quorvex-crypto-provider
APP=/usr/lib/$PKG
STATE=/var/lib/quorvex
ACCOUNT=${QTX_PACKAGE_ACCOUNT:-qtxpkguser}
ARTIFACTS="${QTX_ARTIFACTS_DIR:-$OUT/artifacts}"
passed=0
failed=0

check() { # check "<what>" <command...>
  local what="$1"; shift
  if "$@"; then echo "ok   - $what"; passed=$((passed + 1)); else echo "FAIL - $what"; failed=$((failed + 1)); fi
}
finish() {
  echo "package-test: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

# Both units, with the executable paths they name. The user unit's target
# (graphical-session.target) exists only in a user manager's unit set.
verify_units() { # verify_units <server folder> <qtx-provision>
  local dir="$1" provision="$2" tmp rc=0
  tmp=$(mktemp -d)
  for unit in quorvex-crypto-provider quorvex-crypto-dispatcher; do
    sed "s|@INSTALL_DIR@|$dir|g; s|@PROVISION@|$provision|g" "$ROOT_DIR/packaging/systemd/$unit.service" > "$tmp/$unit.service"
  done
  mkdir -m 0700 "$tmp/runtime"
  echo "==> systemd-analyze verify"
  # A user manager's unit set needs a runtime folder, as under a log-in session.
  XDG_RUNTIME_DIR="$tmp/runtime" systemd-analyze --user verify "$tmp/quorvex-crypto-provider.service" > "$tmp/user.log" 2>&1 || rc=1
  systemd-analyze verify "$tmp/quorvex-crypto-dispatcher.service" > "$tmp/system.log" 2>&1 || rc=1
  cat "$tmp/user.log" "$tmp/system.log"
  # Warnings about our own units count too (unknown keys, missing executables).
  if grep -q 'quorvex' "$tmp/user.log" "$tmp/system.log"; then rc=1; fi
  rm -rf "$tmp"
  return $rc
}

ensure_packages systemd

if [ "$(id -u)" -ne 0 ]; then
  check "systemd units verify (server folder $ROOT_DIR/build/bin)" verify_units "$ROOT_DIR/build/bin" "$ROOT_DIR/build/bin/qtx-provision"
  echo "package-test: skipped the install and remove test: it needs root (it installs a system package and creates an account)"
  finish
fi

ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" chromium libnss3-tools ca-certificates passwd util-linux
command -v node >/dev/null 2>&1 || ensure_packages nodejs
command -v npm >/dev/null 2>&1 || ensure_packages npm

# A leftover of an interrupted run.
if dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep -q 'installed\|config-files'; then
  echo "==> Purging a previously installed $PKG"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$PKG" "$PKG-dev" >/dev/null 2>&1 || true
fi

SNAP=$(mktemp -d)
SERVER_PID=""
cleanup() {
  [ -z "$SERVER_PID" ] || kill -INT "$SERVER_PID" 2>/dev/null || true
  rm -rf "$SNAP"
}
trap cleanup EXIT

# What the machine looks like before: accounts, trust anchors, unit links.
snapshot() { # snapshot <name>
  cut -d: -f1 /etc/passwd | grep -vx "$ACCOUNT" | sort > "$SNAP/$1.accounts"
  (ls /etc/ssl/certs; ls /usr/local/share/ca-certificates) 2>/dev/null | sort > "$SNAP/$1.anchors"
  find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-user-helper-enabled -name '*quorvex*' 2>/dev/null | sort > "$SNAP/$1.links"
  sha256sum /etc/ssl/certs/ca-certificates.crt 2>/dev/null | cut -d' ' -f1 > "$SNAP/$1.bundle"
}
snapshot before

echo "==> Building the packages"
if ! "$ROOT_DIR/scripts/package.sh" "$BUILD" "$OUT"; then
  check "packages build and lintian reports no error" false
  finish
fi
check "packages build and lintian reports no error" true
DEB=$(ls "$OUT/${PKG}"_*_*.deb | head -n1)
DEV_DEB=$(ls "$OUT/${PKG}-dev"_*_*.deb | head -n1)
echo "==> Contents of $(basename "$DEB")"
dpkg -c "$DEB" | awk '{ $2 = $3 = $4 = $5 = ""; print }' | tr -s ' '
check "the module-signing private key is not shipped" \
  sh -c "! dpkg --fsys-tarfile '$DEB' | tar -xO 2>/dev/null | grep -aqE -- '-----BEGIN (RSA )?PRIVATE KEY-----'"

# The key store a source-tree run of root uses (scripts/run.sh): installing and
# purging the package must leave it as it is, so its authority stays trusted.
SRC_STORE="${XDG_CONFIG_HOME:-$HOME/.config}/Quorvex/QuorvexCryptoProvider/source-tree"
SRC_MADE=0
if [ ! -d "$SRC_STORE" ] && QTX_KEY_DIR="$SRC_STORE" "$BUILD/bin/qtx-provision" >/dev/null; then SRC_MADE=1; fi
src_sum() { (cd "$SRC_STORE" 2>/dev/null && find . -type f -print0 | sort -z | xargs -0 -r sha256sum) | sha256sum | cut -d' ' -f1; }
SRC_BEFORE=$(src_sum)

echo "==> apt-get install"
snapshot install
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$DEB" "$DEV_DEB" 2>&1 | tail -n 12
snapshot installed
check "installed" dpkg-query -W -f='${Status}\n' "$PKG"
check "systemd units verify (installed)" verify_units "$APP" /usr/bin/qtx-provision
# Root's key store: "<mode> <owner> <path>" of each entry, as stat prints it.
modes() { stat -c '%a %U %n' "$@" 2>&1; }
echo "==> Root's key store"
ROOT_STORE=$STATE/QuorvexCryptoProvider
modes "$STATE" "$ROOT_STORE" "$ROOT_STORE"/private "$ROOT_STORE"/private/* "$ROOT_STORE"/certs "$ROOT_STORE"/certs/* | sed 's/^/    /'
check "root's secret and key 0600 in a 0700 folder, certificates public" \
  test "$(modes "$ROOT_STORE/private" "$ROOT_STORE/private/Seed" "$ROOT_STORE/private/QTX-key-server.pem" \
                "$ROOT_STORE/certs" "$ROOT_STORE/certs/QTX-cert-server.pem" "$ROOT_STORE/certs/QTX-ca.pem" | cut -d' ' -f1-2 | tr '\n' ' ')" \
       = "700 root 600 root 600 root 755 root 644 root 644 root "
check "root's key encrypted, no key beside the server" \
  sh -c "grep -q 'ENCRYPTED PRIVATE KEY' $ROOT_STORE/private/QTX-key-server.pem && [ ! -e $APP/certs ]"
check "root's authority trusted in the system store" \
  sh -c "openssl verify -CApath /etc/ssl/certs $ROOT_STORE/certs/QTX-cert-server.pem >/dev/null"
check "user unit enabled for every account" test -L /etc/systemd/user/default.target.wants/$PKG.service
check "INI is a conffile" sh -c "dpkg-query -W -f='\${Conffiles}' $PKG | grep -q /etc/$PKG/QuorvexCryptoProvider.ini"
check "manual pages" sh -c "man -w QuorvexCryptoProvider >/dev/null 2>&1 || [ -f /usr/share/man/man8/QuorvexCryptoProvider.8.gz ]"

# A module author's project against the installed SDK: find_package, build,
# sign with the author's own key, verify.
sdk_check() {
  local dir rc=0
  dir=$(mktemp -d)
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$dir/author.pem" 2>/dev/null
  openssl pkey -in "$dir/author.pem" -pubout -out "$dir/author-public.pem"
  mkdir "$dir/src"
  cp "$ROOT_DIR/examples/modules/KeepAlive/keepalive.cpp" "$ROOT_DIR/examples/modules/KeepAlive/KeepAlive.xml" "$dir/src/"
  cat > "$dir/src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(AuthorModule CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(QuorvexModuleSdk REQUIRED)
qtx_add_module(NAME KeepAlive SOURCES keepalive.cpp XML KeepAlive.xml)
CMAKE
  cmake -S "$dir/src" -B "$dir/build" -G Ninja -DQTX_MODULE_SIGNING_KEY="$dir/author.pem" >/dev/null \
    && cmake --build "$dir/build" >/dev/null \
    && qtx-sign verify --pubkey "$dir/author-public.pem" "$dir/build/modules/KeepAlive.so" || rc=1
  rm -rf "$dir"
  return $rc
}
check "the -dev package builds and signs a module with find_package(QuorvexModuleSdk)" sdk_check

# The account, with a home for its browser trust, as a desktop user has.
id -u "$ACCOUNT" >/dev/null 2>&1 || useradd -m -s /bin/bash "$ACCOUNT"
HOME_DIR=$(getent passwd "$ACCOUNT" | cut -d: -f6)
ACCOUNT_UID=$(id -u "$ACCOUNT")
as_account() { setpriv --reuid="$ACCOUNT_UID" --regid="$(id -g "$ACCOUNT")" --init-groups -- \
  env -i HOME="$HOME_DIR" USER="$ACCOUNT" LOGNAME="$ACCOUNT" PATH=/usr/local/bin:/usr/bin:/bin "$@"; }

# Where several test runs share one machine, QTX_SERVER_LOCK names a lock file
# held while the server runs.
if [ -n "${QTX_SERVER_LOCK:-}" ]; then
  exec 9>>"$QTX_SERVER_LOCK"
  echo "==> Waiting for $QTX_SERVER_LOCK"
  flock 9
fi
echo "==> Starting the user instance as $ACCOUNT the way the user unit does"
UNIT_FILE=/usr/lib/systemd/user/$PKG.service
EXEC=$(sed -n 's/^ExecStart=//p' "$UNIT_FILE")
EXEC_PRE=$(sed -n 's/^ExecStartPre=//p' "$UNIT_FILE")
WORKDIR=$(sed -n 's/^WorkingDirectory=//p' "$UNIT_FILE")
USER_STORE="$HOME_DIR/.config/Quorvex/QuorvexCryptoProvider"
LOG="$USER_STORE/logs/QuorvexCryptoProvider.log"
rm -f "$LOG"
# shellcheck disable=SC2086
check "the unit's ExecStartPre provisions the account's key store ($EXEC_PRE)" \
  sh -c "cd '$WORKDIR' && exec setpriv --reuid=$ACCOUNT_UID --regid=$(id -g "$ACCOUNT") --init-groups -- \
    env -i HOME='$HOME_DIR' USER='$ACCOUNT' LOGNAME='$ACCOUNT' PATH=/usr/local/bin:/usr/bin:/bin $EXEC_PRE"
modes "$USER_STORE" "$USER_STORE"/private "$USER_STORE"/private/* "$USER_STORE"/certs "$USER_STORE"/certs/* | sed 's/^/    /'
check "the account's store: folders 0700, files 0600, all the account's" \
  test "$(modes "$USER_STORE" "$USER_STORE/private" "$USER_STORE/certs" "$USER_STORE/private/Seed" "$USER_STORE/private/QTX-key-server.pem" \
                "$USER_STORE/certs/QTX-cert-server.pem" "$USER_STORE/certs/QTX-ca.pem" | cut -d' ' -f1-2 | tr '\n' ' ')" \
       = "700 $ACCOUNT 700 $ACCOUNT 700 $ACCOUNT 600 $ACCOUNT 600 $ACCOUNT 600 $ACCOUNT 600 $ACCOUNT "
check "the account can read no file of root's private store" \
  sh -c "for f in $ROOT_STORE/private/Seed $ROOT_STORE/private/QTX-key-server.pem; do \
    setpriv --reuid=$ACCOUNT_UID --regid=$(id -g "$ACCOUNT") --init-groups -- cat \$f >/dev/null 2>&1 && exit 1; done; exit 0"
check "openssl rsa as the account fails on root's key" \
  sh -c "! setpriv --reuid=$ACCOUNT_UID --regid=$(id -g "$ACCOUNT") --init-groups -- \
    openssl rsa -in $ROOT_STORE/private/QTX-key-server.pem -passin pass:x -noout 2>/dev/null"
# shellcheck disable=SC2086
(cd "$WORKDIR" && exec setpriv --reuid="$ACCOUNT_UID" --regid="$(id -g "$ACCOUNT")" --init-groups -- \
  env -i HOME="$HOME_DIR" USER="$ACCOUNT" LOGNAME="$ACCOUNT" PATH=/usr/local/bin:/usr/bin:/bin $EXEC) &
SERVER_PID=$!
PORT=""
for _ in $(seq 1 100); do
  PORT=$(sed -n 's/.*Listening on port \([0-9]*\).*/\1/p' "$LOG" 2>/dev/null | tail -n1)
  [ -n "$PORT" ] && break
  kill -0 "$SERVER_PID" 2>/dev/null || break
  sleep 0.2
done
check "user instance listens (port ${PORT:-none})" test -n "$PORT"
version=$(curl -sS --cacert "$USER_STORE/certs/QTX-ca.pem" -X POST "https://127.0.0.1:$PORT/SERVER_VERSION" 2>&1)
echo "    SERVER_VERSION: $version"
check "SERVER_VERSION over TLS with the account's own authority" grep -qx '3\.0\.16[0-9a-f.]*' <<<"$version"
check "the account's certificate is not trusted through the system store" \
  sh -c "! curl -sS -o /dev/null -X POST https://127.0.0.1:$PORT/SERVER_VERSION 2>/dev/null"

echo "==> The account's browsers trust the authority (qtx-provision --trust)"
as_account qtx-provision --trust | sed 's/^/    /'
check "authority in the account's NSS database" \
  sh -c "certutil -L -d sql:$HOME_DIR/.pki/nssdb | grep -q 'Quorvex Crypto Provider Local CA'"

echo "==> Headless Chromium on the demo page"
(cd "$ROOT_DIR/tests/browser" && timeout 300 npm ci --no-audit --no-fund --loglevel=error >/dev/null)
mkdir -p "$ARTIFACTS"
check "the demo page in Chromium runs its steps against the installed server" \
  timeout 180 node "$ROOT_DIR/tests/browser/installed-demo.mjs" --account "$ACCOUNT" --home "$HOME_DIR" \
    --port 48460 --expect-port "$PORT" --screenshot "$ARTIFACTS/package-demo.png"

echo "==> Stopping the user instance"
kill -INT "$SERVER_PID"
wait "$SERVER_PID"; rc=$?
SERVER_PID=""
check "user instance stops cleanly on SIGINT" test "$rc" -eq 0
[ -z "${QTX_SERVER_LOCK:-}" ] || exec 9>&-

echo "==> apt-get remove"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq "$PKG" "$PKG-dev" 2>&1 | tail -n 3
check "program files removed" test ! -e "$APP"
check "trust removed from the system store" \
  sh -c "! ls /etc/ssl/certs | grep -qi quorvex && [ ! -e /usr/local/share/ca-certificates/quorvex-local-ca.crt ]"
check "trust removed from the account's NSS database" \
  sh -c "! certutil -L -d sql:$HOME_DIR/.pki/nssdb | grep -q 'Quorvex Crypto Provider Local CA'"
check "configuration kept until purge" test -f /etc/$PKG/QuorvexCryptoProvider.ini

echo "==> apt-get purge"
# Both are removed; the -dev package has no configuration, so dpkg has forgotten it already.
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$PKG" 2>&1 | tail -n 3
dpkg --purge "$PKG-dev" >/dev/null 2>&1 || true
userdel -r "$ACCOUNT" >/dev/null 2>&1 || true
snapshot after
echo "==> Purge check"
left=$( (ls -d /etc/$PKG $APP $STATE /usr/share/doc/$PKG /usr/share/doc/$PKG-dev /usr/include/quorvex \
         /usr/lib/cmake/QuorvexModuleSdk /usr/share/$PKG /usr/bin/qtx-provision /usr/bin/qtx-sign \
         /usr/lib/systemd/user/$PKG.service /lib/systemd/system/quorvex-crypto-dispatcher.service 2>/dev/null) )
echo "files left:        ${left:-none}"
pkg_state=$(dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null || true)
echo "dpkg state:        ${pkg_state:-not known to dpkg}"
echo "trust anchors:     $(diff "$SNAP/before.anchors" "$SNAP/after.anchors" >/dev/null && echo unchanged || diff "$SNAP/before.anchors" "$SNAP/after.anchors" | tr '\n' ' ')"
echo "CA bundle:         $(cmp -s "$SNAP/before.bundle" "$SNAP/after.bundle" && echo unchanged || echo changed)"
links=$(tr '\n' ' ' < "$SNAP/after.links")
echo "unit links:        ${links:-none}"
# Other processes on a shared machine may add accounts meanwhile: what counts is
# what appeared while apt-get installed, and any account named after the package.
new_accounts=$(comm -13 "$SNAP/install.accounts" "$SNAP/installed.accounts" | tr '\n' ' ')
named=$(grep -iE 'quorvex|qtx-?provider' /etc/passwd | cut -d: -f1 | tr '\n' ' ')
echo "accounts:          ${new_accounts:-none} created by the install, ${named:-none} named after the package"
check "purge leaves no files" test -z "$left"
check "purge leaves the source-tree run's key store as it was ($SRC_STORE)" \
  sh -c "[ '$(src_sum)' = '$SRC_BEFORE' ] && [ -s '$SRC_STORE/certs/QTX-ca.pem' ]"
[ "$SRC_MADE" = 0 ] || rm -rf "$SRC_STORE"
check "purge leaves nothing in dpkg's database" test -z "$pkg_state"
check "purge leaves the trust anchors as they were" cmp -s "$SNAP/before.anchors" "$SNAP/after.anchors"
check "purge leaves the CA bundle as it was" cmp -s "$SNAP/before.bundle" "$SNAP/after.bundle"
check "purge leaves no unit links" test ! -s "$SNAP/after.links"
check "the package created no account" test -z "$new_accounts$named"
finish
