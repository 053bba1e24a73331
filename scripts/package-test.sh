#!/usr/bin/env bash
# Install, upgrade and remove test of the Debian package, as root on this machine:
#   scripts/package-test.sh [build folder]     (default build-deb/, see package.sh)
# Builds the packages (scripts/package.sh, lintian included), checks both systemd
# units with "systemd-analyze verify" and scores them with "systemd-analyze
# security", installs the previous layout (one authority and key shared by all
# accounts, trusted in two accounts' browsers), upgrades it with apt-get and
# checks that the old authority is gone from both accounts' browser databases
# and from the system store, checks the dispatcher's account and store and the
# authorities' name constraints, then runs the dispatcher as its account with
# the unit's capabilities and the two accounts' instances the way the units do
# (another account's silent sockets on 48461-48465), and drives the demo page
# in Chromium and Firefox of each account: each reaches its own instance with no
# manual step and is refused by the other's. As another account no module loads
# in the dispatcher. A module signed with a key of the administrator's folder
# loads, one signed with another key is refused. Then the first hour of a new
# user, timed from a fresh install to a verified signature with a software
# token, following the documented steps. Removes and purges and checks that
# nothing is left (files, trust entries, unit links, accounts) and that a
# source-tree run's key store is untouched.
# Without root it only verifies and scores the units and says why it skipped the rest.
# Ends with "package-test: N passed, M failed". With QTX_SERVER_LOCK=<file> the
# part that runs servers on the shared ports holds that lock (flock).
set -uo pipefail
source "$(dirname "$0")/lib.sh"

BUILD="$(realpath -m "${1:-$ROOT_DIR/build-deb}")"
OUT="$ROOT_DIR/dist"
PKG=quorvex-crypto-provider
APP=/usr/lib/$PKG
STATE=/var/lib/quorvex
STORE=$STATE/QuorvexCryptoProvider
DISPATCHER_ACCOUNT=quorvex-dispatcher
ACCOUNT=${QTX_PACKAGE_ACCOUNT:-qtxpkguser}
OTHER=${QTX_PACKAGE_OTHER_ACCOUNT:-qtxpkguser2}
NEWCOMER=${QTX_PACKAGE_NEW_ACCOUNT:-qtxpkguser3}
NICK="Quorvex Crypto Provider Local CA"
NOBODY=nobody
DISPATCHER_NICK="Quorvex Crypto Provider Dispatcher CA"
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

# The exposure score "systemd-analyze security" gives a unit file, offline (systemd need not run).
security_score() { # security_score <system|user> <unit file>
  local tmp score
  tmp=$(mktemp -d)
  mkdir -m 0700 "$tmp/runtime"
  if [ "$1" = user ]; then
    score=$(XDG_RUNTIME_DIR="$tmp/runtime" systemd-analyze security --user --offline=true "$2" 2>/dev/null)
  else
    score=$(systemd-analyze security --offline=true "$2" 2>/dev/null)
  fi
  rm -rf "$tmp"
  sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$score"
}
score_units() { # score_units <server folder>: the scores, and each under its bound
  local tmp dispatcher user
  tmp=$(mktemp -d)
  for unit in quorvex-crypto-provider quorvex-crypto-dispatcher; do
    sed "s|@INSTALL_DIR@|$1|g; s|@PROVISION@|/usr/bin/qtx-provision|g" "$ROOT_DIR/packaging/systemd/$unit.service" > "$tmp/$unit.service"
  done
  dispatcher=$(security_score system "$tmp/quorvex-crypto-dispatcher.service")
  user=$(security_score user "$tmp/quorvex-crypto-provider.service")
  rm -rf "$tmp"
  echo "    systemd-analyze security: dispatcher ${dispatcher:-?} (9.6 before), user unit ${user:-?} (9.8 before)"
  [ -n "$dispatcher" ] && [ -n "$user" ] && awk -v d="$dispatcher" -v u="$user" 'BEGIN { exit !(d <= 2.5 && u <= 7.0) }'
}

ensure_packages systemd
check "systemd units verify (server folder $ROOT_DIR/build/bin)" verify_units "$ROOT_DIR/build/bin" "$ROOT_DIR/build/bin/qtx-provision"
check "systemd-analyze security: dispatcher at most 2.5, user unit at most 7.0" score_units "$APP"

if [ "$(id -u)" -ne 0 ]; then
  echo "package-test: skipped the install and remove test: it needs root (it installs a system package and creates accounts)"
  finish
fi

ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" "${SIGNER_TEST_PACKAGES[@]}" "${TRUST_TEST_PACKAGES[@]}" \
  chromium firefox-esr ca-certificates passwd util-linux adduser curl python3
command -v node >/dev/null 2>&1 || ensure_packages nodejs
command -v npm >/dev/null 2>&1 || ensure_packages npm

# A leftover of an interrupted run.
if dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep -q 'installed\|config-files'; then
  echo "==> Purging a previously installed $PKG"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$PKG" "$PKG-dev" >/dev/null 2>&1 || true
fi

SNAP=$(mktemp -d)
PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  rm -rf "$SNAP"
}
trap cleanup EXIT
stop() { # stop <pid>: SIGINT, as the units stop the server; its exit code
  local rc
  kill -INT "$1" 2>/dev/null
  wait "$1"; rc=$?
  PIDS=("${PIDS[@]/$1}")
  return $rc
}

# What the machine looks like before: accounts, trust anchors, unit links.
snapshot() { # snapshot <name>
  cut -d: -f1 /etc/passwd | grep -vx "$ACCOUNT\|$OTHER\|$NEWCOMER" | sort > "$SNAP/$1.accounts"
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
VERSION=$(dpkg-deb -f "$DEB" Version)
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

# ---------------------------------------------------------------------------
# Accounts: two desktop users with homes, browser databases and a Firefox profile.
for a in "$ACCOUNT" "$OTHER"; do id -u "$a" >/dev/null 2>&1 || useradd -m -s /bin/bash "$a"; done
home_of() { getent passwd "$1" | cut -d: -f6; }
as_user() { # as_user <account> <command...>: a clean log-in environment, in the home
  local a="$1"; shift
  (cd "$(home_of "$a")" && exec setpriv --reuid="$(id -u "$a")" --regid="$(id -g "$a")" --init-groups -- \
    env -i HOME="$(home_of "$a")" USER="$a" LOGNAME="$a" PATH=/usr/local/bin:/usr/bin:/bin "$@")
}
# Starts a command in the background as the account, in the folder: its pid
# is the command's own (exec all the way), in LAST_PID.
start_as() { # start_as <account> <folder> <command...>
  local a="$1" dir="$2"; shift 2
  (cd "$dir" && exec setpriv --reuid="$(id -u "$a")" --regid="$(id -g "$a")" --init-groups -- \
    env -i HOME="$(home_of "$a")" USER="$a" LOGNAME="$a" PATH=/usr/local/bin:/usr/bin:/bin "$@") &
  LAST_PID=$!
  PIDS+=("$LAST_PID")
}
profile_of() { echo "$(home_of "$1")/.mozilla/firefox/qtx.default-esr"; }
dbs_of() { echo "$(home_of "$1")/.pki/nssdb $(profile_of "$1")"; }
# SHA-256 fingerprints of every certificate in an account's NSS databases.
fingerprints_of() { # fingerprints_of <account>
  local db nick
  for db in $(dbs_of "$1"); do
    certutil -L -d "sql:$db" 2>/dev/null | tail -n +5 | sed 's/ *[^ ]*,[^ ]*,[^ ]* *$//' | while read -r nick; do
      [ -n "$nick" ] || continue
      certutil -L -d "sql:$db" -n "$nick" -a 2>/dev/null | openssl x509 -noout -fingerprint -sha256 2>/dev/null
    done
  done | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f' | sort -u
}
fingerprint() { openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f'; }

# ---------------------------------------------------------------------------
echo "==> The previous layout: version 3.0.15, one authority and key for every account"
# As that version's package left a machine: the shared seed and a world-readable
# key in /var/lib/quorvex, the certificates behind a link beside the server, the
# authority in the system store and, after each user ran "qtx-provision --trust",
# in that user's Chromium database and Firefox profile.
OLD=$(mktemp -d)
mkdir -p "$OLD/pkg/DEBIAN" "$OLD/pkg$APP"
ln -s "$STORE/certs" "$OLD/pkg$APP/certs"
cat > "$OLD/pkg/DEBIAN/control" <<EOF
Package: $PKG
Version: 3.0.15
Architecture: $(dpkg --print-architecture)
Maintainer: Quorvex Packaging <packaging@quorvex.invalid>
Depends: openssl, ca-certificates
Description: local HTTPS command server (previous layout, for the upgrade test)
 One authority, certificate and key shared by every account.
EOF
cat > "$OLD/pkg/DEBIAN/postinst" <<EOF
#!/bin/sh
set -e
[ "\$1" = configure ] || exit 0
install -d -m 0755 /var/lib/quorvex "$STORE" "$STORE/certs"
head -c 8 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$STORE/Seed"
chmod 0644 "$STORE/Seed"
cd "$STORE/certs"
openssl req -x509 -newkey rsa:3072 -nodes -keyout ca.key -out QTX-ca.pem -days 3650 \\
  -subj "/O=Quorvex/CN=Quorvex Crypto Provider Local CA (\$(hostname))" \\
  -addext "basicConstraints=critical,CA:TRUE,pathlen:0" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout QTX-key-server.pem -out server.csr -subj "/O=Quorvex/CN=localhost" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' > server.ext
openssl x509 -req -in server.csr -CA QTX-ca.pem -CAkey ca.key -CAcreateserial -days 825 -extfile server.ext \\
  -out QTX-cert-server.pem 2>/dev/null
rm -f ca.key server.csr server.ext QTX-ca.srl
chmod 0644 QTX-ca.pem QTX-cert-server.pem QTX-key-server.pem
install -m 0644 QTX-ca.pem /usr/local/share/ca-certificates/quorvex-local-ca.crt
update-ca-certificates >/dev/null 2>&1
EOF
chmod 0755 "$OLD/pkg/DEBIAN/postinst"
dpkg-deb --root-owner-group --build "$OLD/pkg" "$OLD/old.deb" >/dev/null
check "the previous version installs" sh -c "dpkg -i '$OLD/old.deb' >/dev/null 2>&1"
cp "$STORE/certs/QTX-ca.pem" "$OLD/shared-ca.pem"
cp "$STORE/certs/QTX-cert-server.pem" "$OLD/shared-cert.pem"
SHARED=$(fingerprint "$OLD/shared-ca.pem")
for a in "$ACCOUNT" "$OTHER"; do
  for db in $(dbs_of "$a"); do
    as_user "$a" mkdir -p "$db"
    as_user "$a" certutil -N -d "sql:$db" --empty-password 2>/dev/null || true
    # What that version's "qtx-provision --trust" did, as the account, from the world-readable file.
    as_user "$a" certutil -A -d "sql:$db" -n "$NICK" -t "C,," -i "$STORE/certs/QTX-ca.pem"
  done
done
trusts_shared() { fingerprints_of "$1" | grep -qx "$SHARED"; }
check "the shared authority is trusted in the system store" openssl verify -CApath /etc/ssl/certs "$OLD/shared-cert.pem"
check "... and in $ACCOUNT's and $OTHER's Chromium and Firefox databases" sh -c \
  "[ \$(certutil -L -d sql:$(home_of "$ACCOUNT")/.pki/nssdb | grep -c '$NICK') = 1 ] && [ \$(certutil -L -d sql:$(profile_of "$OTHER") | grep -c '$NICK') = 1 ]"

# ---------------------------------------------------------------------------
echo "==> apt-get install: the upgrade"
snapshot install
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$DEB" "$DEV_DEB" 2>&1 | tail -n 12
snapshot installed
check "installed ($VERSION over 3.0.15)" sh -c "dpkg-query -W -f='\${Version} \${Status}\n' $PKG | grep -q '^$VERSION install ok installed'"
check "systemd units verify (installed)" verify_units "$APP" /usr/bin/qtx-provision
echo "    retired: $(grep -v '^#' $STATE/retired-authorities 2>/dev/null | tr '\n' ' ')"
check "the upgrade retired the shared authority by its fingerprint" grep -qx "$SHARED" "$STATE/retired-authorities"
no_shared() { ! trusts_shared "$1"; }
for a in "$ACCOUNT" "$OTHER"; do
  check "the shared authority is gone from $a's Chromium and Firefox databases" no_shared "$a"
done
check "the shared authority is gone from the system store" \
  sh -c "! openssl verify -CApath /etc/ssl/certs '$OLD/shared-cert.pem' >/dev/null 2>&1"
check "the shared seed and key are gone" test ! -e "$STORE/Seed" -a ! -e "$STORE/certs/QTX-key-server.pem"

echo "==> The dispatcher's account and store"
modes() { stat -c '%a %U %n' "$@" 2>&1; }
modes "$STATE" "$STORE" "$STORE"/private "$STORE"/private/* "$STORE"/certs "$STORE"/certs/* | sed 's/^/    /'
DISPATCHER_UID=$(id -u "$DISPATCHER_ACCOUNT" 2>/dev/null || echo none)
check "the system account $DISPATCHER_ACCOUNT (uid $DISPATCHER_UID, below 1000, no login)" \
  sh -c "[ '$DISPATCHER_UID' != none ] && [ '$DISPATCHER_UID' -lt 1000 ] && getent passwd $DISPATCHER_ACCOUNT | grep -q 'nologin\|/bin/false'"
check "its store: secret and key 0600 in a 0700 folder, certificates public, all its own; /var/lib/quorvex root's" \
  test "$(modes "$STATE" "$STORE/private" "$STORE/private/Seed" "$STORE/private/QTX-key-server.pem" \
                "$STORE/certs" "$STORE/certs/QTX-cert-server.pem" "$STORE/certs/QTX-ca.pem" | cut -d' ' -f1-2 | tr '\n' ' ')" \
       = "755 root 700 $DISPATCHER_ACCOUNT 600 $DISPATCHER_ACCOUNT 600 $DISPATCHER_ACCOUNT 755 $DISPATCHER_ACCOUNT 644 $DISPATCHER_ACCOUNT 644 $DISPATCHER_ACCOUNT "
check "its key encrypted, no key beside the server" \
  sh -c "grep -q 'ENCRYPTED PRIVATE KEY' $STORE/private/QTX-key-server.pem && [ ! -e $APP/certs ]"
check "its authority trusted in the system store" sh -c "openssl verify -CApath /etc/ssl/certs $STORE/certs/QTX-cert-server.pem >/dev/null"
echo "    $(openssl x509 -in "$STORE/certs/QTX-ca.pem" -noout -ext nameConstraints | tr -s ' \n' ' ')"
check "openssl x509 shows the authority's critical name constraints: IP 127.0.0.1/32 and DNS localhost only" \
  sh -c "openssl x509 -in $STORE/certs/QTX-ca.pem -noout -ext nameConstraints | tr -s ' \n' ' ' \
    | grep -q 'Name Constraints: critical Permitted: IP:127.0.0.1/255.255.255.255 DNS:localhost'"
# An authority made here with the same constraints: OpenSSL refuses what it signs for example.com.
constraints_enforced() {
  local d rc=0
  d=$(mktemp -d)
  (cd "$d" && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=constrained" \
      -addext "basicConstraints=critical,CA:TRUE,pathlen:0" -addext "keyUsage=critical,keyCertSign" \
      -addext "nameConstraints=critical,permitted;IP:127.0.0.1/255.255.255.255,permitted;DNS:localhost" 2>/dev/null \
    && for name in localhost example.com; do
         openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=$name" 2>/dev/null \
           && echo "subjectAltName=DNS:$name" > "$name.ext" \
           && openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 1 -extfile "$name.ext" \
                -out "$name.pem" 2>/dev/null
       done \
    && openssl verify -CAfile ca.pem localhost.pem >/dev/null \
    && ! openssl verify -CAfile ca.pem example.com.pem > verify.txt 2>&1 \
    && grep -q 'permitted subtree violation' verify.txt && sed 's/^/    /' verify.txt) || rc=1
  rm -rf "$d"
  return $rc
}
check "a certificate for example.com under an authority with the same constraints is refused by openssl verify" constraints_enforced
check "dispatcher unit enabled, user unit enabled for every account" \
  test -L /etc/systemd/system/multi-user.target.wants/quorvex-crypto-dispatcher.service -a -L /etc/systemd/user/default.target.wants/$PKG.service
check "INI is a conffile" sh -c "dpkg-query -W -f='\${Conffiles}' $PKG | grep -q /etc/$PKG/QuorvexCryptoProvider.ini"
check "modules: KeepAlive and Signer, no example module" \
  test "$(cd "$APP/modules" && ls ./*.so | tr '\n' ' ')" = "./KeepAlive.so ./Signer.so "
check "the PDF helpers beside the server, their libraries (qpdf; poppler-qt5) installed with the package, no Qt in the preparing one" \
  sh -c "for h in qtx-pdf-helper qtx-pdf-preview; do test -x $APP/\$h && ! ldd $APP/\$h | grep -q 'not found' && { $APP/\$h; test \$? -eq 2; } || exit 1; done; ! ldd $APP/qtx-pdf-helper | grep -q -e libQt5 -e libpoppler"
check "manual pages, the demo page and the vendors' key folder" \
  test -f /usr/share/man/man8/QuorvexCryptoProvider.8.gz -a -f /usr/share/$PKG/web/demo/index.html -a -f /usr/share/$PKG/web/qtx-client.js -a -d /etc/quorvex/module-keys.d

# ---------------------------------------------------------------------------
# Modules of vendors: one signed with a key the administrator trusts, one with
# another key; built with the -dev package's SDK, installed beside the others.
echo "==> Vendors' modules (the -dev package's SDK, qtx-sign keygen)"
VENDOR=$(mktemp -d)
vendor_modules() {
  qtx-sign keygen --out "$VENDOR/vendor-private.pem" --pubout "$VENDOR/vendor.pem" | sed 's/^/    /' \
    && qtx-sign keygen --out "$VENDOR/stranger-private.pem" --pubout "$VENDOR/stranger.pem" >/dev/null || return 1
  mkdir "$VENDOR/src"
  cp "$ROOT_DIR/examples/modules/KeepAlive/keepalive.cpp" "$VENDOR/src/"
  sed 's/KeepAlive/VendorAlive/g' "$ROOT_DIR/examples/modules/KeepAlive/KeepAlive.xml" > "$VENDOR/src/VendorAlive.xml"
  sed 's/KeepAlive/StrangerAlive/g' "$ROOT_DIR/examples/modules/KeepAlive/KeepAlive.xml" > "$VENDOR/src/StrangerAlive.xml"
  cat > "$VENDOR/src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(VendorModules CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(QuorvexModuleSdk REQUIRED)
qtx_add_module(NAME VendorAlive SOURCES keepalive.cpp XML VendorAlive.xml NOSIGN)
qtx_add_module(NAME StrangerAlive SOURCES keepalive.cpp XML StrangerAlive.xml NOSIGN)
CMAKE
  cmake -S "$VENDOR/src" -B "$VENDOR/build" -G Ninja >/dev/null && cmake --build "$VENDOR/build" >/dev/null || return 1
  qtx-sign sign --key "$VENDOR/vendor-private.pem" "$VENDOR/build/modules/VendorAlive.so" >/dev/null \
    && qtx-sign sign --key "$VENDOR/stranger-private.pem" "$VENDOR/build/modules/StrangerAlive.so" >/dev/null \
    && qtx-sign verify --pubkey "$VENDOR/vendor.pem" "$VENDOR/build/modules/VendorAlive.so" | sed 's/^/    /' || return 1
  install -m 0644 "$VENDOR/vendor.pem" /etc/quorvex/module-keys.d/vendor.pem
  install -m 0644 "$VENDOR"/build/modules/VendorAlive.so "$VENDOR"/build/modules/VendorAlive.xml \
    "$VENDOR"/build/modules/StrangerAlive.so "$VENDOR"/build/modules/StrangerAlive.xml "$APP/modules/"
}
check "the -dev package builds two modules with find_package(QuorvexModuleSdk); qtx-sign signs them with two vendors' keys" vendor_modules
check "the -dev package carries the display and buffer helpers" test -f /usr/include/quorvex/qtxdisplaytext.h -a -f /usr/include/quorvex/qtxlargebuffer.h
STRANGER_FP=$(qtx-sign fingerprint "$VENDOR/stranger.pem" 2>/dev/null)

# ---------------------------------------------------------------------------
# Where several test runs share one machine, QTX_SERVER_LOCK names a lock file
# held while the servers run on the shared ports.
if [ -n "${QTX_SERVER_LOCK:-}" ]; then
  exec 9>>"$QTX_SERVER_LOCK"
  echo "==> Waiting for $QTX_SERVER_LOCK"
  flock 9
fi
USER_UNIT=/usr/lib/systemd/user/$PKG.service
SYSTEM_UNIT=/lib/systemd/system/quorvex-crypto-dispatcher.service
unit_value() { sed -n "s/^$2=//p" "$1"; }
listening_port() { # listening_port <log file> <pid>: the port its server reports, waiting for it
  local port=""
  for _ in $(seq 1 150); do
    port=$(sed -n 's/.*Listening on port \([0-9]*\).*/\1/p' "$1" 2>/dev/null | tail -n1)
    [ -n "$port" ] && break
    kill -0 "$2" 2>/dev/null || break
    sleep 0.2
  done
  echo "$port"
}

echo "==> The dispatcher, as $DISPATCHER_ACCOUNT with the unit's environment and capabilities"
# systemd is not PID 1 here: the unit's commands run under setpriv with what the
# unit grants (its account, the three ambient capabilities, no new privileges).
DISPATCHER_LOG=$STORE/.config/Quorvex/QuorvexCryptoProvider/logs/QuorvexCryptoProvider.log
CAPS=$(unit_value "$SYSTEM_UNIT" AmbientCapabilities | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
# The unit's account, capabilities and environment, in its folder; exec all the
# way, so that a background start's pid is the server's own.
as_dispatcher() {
  # shellcheck disable=SC2046
  cd "$APP" && exec setpriv --reuid="$DISPATCHER_UID" --regid="$(id -g "$DISPATCHER_ACCOUNT")" --clear-groups \
    --inh-caps="$CAPS" --ambient-caps="$CAPS" --bounding-set="-all,$CAPS" --no-new-privs -- \
    env -i $(unit_value "$SYSTEM_UNIT" Environment | tr '\n' ' ') PATH=/usr/bin:/bin "$@"
}
keeps_store() { (as_dispatcher "$@") | grep -q 'Key: kept'; }
# shellcheck disable=SC2046
check "the dispatcher's ExecStartPre keeps its store" keeps_store $(unit_value "$SYSTEM_UNIT" ExecStartPre)
# shellcheck disable=SC2046
(as_dispatcher $(unit_value "$SYSTEM_UNIT" ExecStart) >/dev/null 2>&1) &
DISPATCHER_PID=$!
PIDS+=("$DISPATCHER_PID")
DISPATCHER_PORT=$(listening_port "$DISPATCHER_LOG" "$DISPATCHER_PID")
status_of() { awk -v k="$2:" '$1 == k {print $(NF > 2 ? 3 : 2)}' "/proc/$1/status"; }
echo "    dispatcher pid $DISPATCHER_PID: port ${DISPATCHER_PORT:-none}, uid $(status_of "$DISPATCHER_PID" Uid), CapEff $(status_of "$DISPATCHER_PID" CapEff)"
# CAP_DAC_READ_SEARCH (2), CAP_KILL (5), CAP_SYS_PTRACE (19).
check "the dispatcher listens on 48460 as $DISPATCHER_ACCOUNT with three capabilities" \
  test "${DISPATCHER_PORT:-0} $(status_of "$DISPATCHER_PID" Uid) $(status_of "$DISPATCHER_PID" CapEff)" = "48460 $DISPATCHER_UID 0000000000080024"

echo "==> Another account's silent sockets on 48461-48465, then both accounts' instances as the user unit starts them"
# Sockets that accept every connection and never answer.
start_as "$OTHER" / python3 -c '
import socket, time
listeners, held = [], []
for port in range(48461, 48466):
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port)); s.listen(64); s.setblocking(False); listeners.append(s)
print("squatting", flush=True)
while True:
    for s in listeners:
        try:
            while True: held.append(s.accept()[0])
        except BlockingIOError: pass
    time.sleep(0.05)
' > "$SNAP/squatters.out" 2>&1
SQUATTER_PID=$LAST_PID
for _ in $(seq 1 50); do grep -q squatting "$SNAP/squatters.out" 2>/dev/null && break; sleep 0.1; done
declare -A PORT INSTANCE_PID
trusts_own_and_dispatcher() { # <account> <own fingerprint> <dispatcher's>: in both databases
  local db
  for db in $(dbs_of "$1"); do
    [ "$(certutil -L -d "sql:$db" -n "$NICK" -a | openssl x509 -noout -fingerprint -sha256 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')" = "$2" ] \
      && [ "$(certutil -L -d "sql:$db" -n "$DISPATCHER_NICK" -a | openssl x509 -noout -fingerprint -sha256 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')" = "$3" ] \
      || return 1
  done
}
not_trusted() { ! grep -qx "$2" "$SNAP/$1.trusted"; }
reads_nothing_private() {
  ! as_user "$1" cat "$STORE/private/Seed" >/dev/null 2>&1 \
    && ! as_user "$1" openssl rsa -in "$STORE/private/QTX-key-server.pem" -passin pass:x -noout >/dev/null 2>&1
}
for a in "$ACCOUNT" "$OTHER"; do
  log="$(home_of "$a")/.config/Quorvex/QuorvexCryptoProvider/logs/QuorvexCryptoProvider.log"
  rm -f "$log"
  pre_ok=1
  while read -r pre; do
    pre=${pre#-}
    # shellcheck disable=SC2086
    (cd "$APP" && as_user "$a" $pre) > "$SNAP/$a.pre" 2>&1 || pre_ok=0
    sed 's/^/    /' "$SNAP/$a.pre" | grep -v '^    Secret\|^    Certificate\|^    Key'
  done < <(unit_value "$USER_UNIT" ExecStartPre)
  check "the user unit's ExecStartPre lines provision $a's store and trust it" test "$pre_ok" = 1
  # shellcheck disable=SC2046
  start_as "$a" "$APP" $(unit_value "$USER_UNIT" ExecStart)
  INSTANCE_PID[$a]=$LAST_PID
  PORT[$a]=$(listening_port "$log" "${INSTANCE_PID[$a]}")
done
check "the instances listen past the silent sockets ($ACCOUNT ${PORT[$ACCOUNT]:-none}, $OTHER ${PORT[$OTHER]:-none})" \
  test -n "${PORT[$ACCOUNT]}" -a -n "${PORT[$OTHER]}" -a "${PORT[$ACCOUNT]:-0}" -gt 48465
for a in "$ACCOUNT" "$OTHER"; do
  [ "$a" = "$ACCOUNT" ] && b=$OTHER || b=$ACCOUNT
  store="$(home_of "$a")/.config/Quorvex/QuorvexCryptoProvider"
  check "$a's store: folders 0700, files 0600, all $a's" \
    test "$(modes "$store" "$store/private" "$store/certs" "$store/private/Seed" "$store/private/QTX-key-server.pem" \
                  "$store/certs/QTX-cert-server.pem" "$store/certs/QTX-ca.pem" | cut -d' ' -f1-2 | tr '\n' ' ')" \
         = "700 $a 700 $a 700 $a 600 $a 600 $a 600 $a 600 $a "
  own=$(fingerprint "$store/certs/QTX-ca.pem")
  other=$(fingerprint "$(home_of "$b")/.config/Quorvex/QuorvexCryptoProvider/certs/QTX-ca.pem")
  dispatcher=$(fingerprint "$STORE/certs/QTX-ca.pem")
  fingerprints_of "$a" > "$SNAP/$a.trusted"
  for db in $(dbs_of "$a"); do echo "    $db:"; certutil -L -d "sql:$db" | tail -n +5 | sed 's/^/      /'; done
  check "$a's Chromium and Firefox databases trust $a's authority and the dispatcher's, with no manual step" \
    trusts_own_and_dispatcher "$a" "$own" "$dispatcher"
  check "... and not $b's" not_trusted "$a" "$other"
  check "the dispatcher tells $a its own instance's port (curl as $a, the system store)" \
    test "$(as_user "$a" curl -sS -X POST https://127.0.0.1:48460/GET_USER_SERVER_PORT)" = "${PORT[$a]}"
  check "$a can read no file of the dispatcher's private store" reads_nothing_private "$a"
done

echo "==> Chromium and Firefox of each account on the demo page, served as docs say"
SITE_PORT=48479
start_as "$NOBODY" / python3 -m http.server "$SITE_PORT" --bind 127.0.0.1 --directory /usr/share/$PKG/web >/dev/null 2>&1
SITE_PID=$LAST_PID
for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$SITE_PORT/demo/" && break; sleep 0.1; done
(cd "$ROOT_DIR/tests/browser" && timeout 300 npm ci --no-audit --no-fund --loglevel=error >/dev/null)
mkdir -p "$ARTIFACTS"
for a in "$ACCOUNT" "$OTHER"; do
  [ "$a" = "$ACCOUNT" ] && b=$OTHER || b=$ACCOUNT
  for browser in chromium firefox; do
    extra=()
    [ "$browser" = firefox ] && extra=(--profile "$(profile_of "$a")")
    [ "$a" = "$ACCOUNT" ] && [ "$browser" = chromium ] && extra+=(--max-find-ms 1000 --screenshot "$ARTIFACTS/package-demo.png")
    check "$browser of $a: the demo page over HTTPS on its own instance (${PORT[$a]}), the other's refused" \
      timeout 180 node "$ROOT_DIR/tests/browser/installed-demo.mjs" --account "$a" --home "$(home_of "$a")" --port 48460 \
        --site "http://localhost:$SITE_PORT" --browser "$browser" --expect-port "${PORT[$a]}" --refuse-port "${PORT[$b]}" "${extra[@]}"
  done
done
echo "    (Chromium of $ACCOUNT found its instance past the silent sockets in under 1 s: --max-find-ms 1000)"

echo "==> As another account, no module loads in the dispatcher"
for path in KeepAlive/Ping Signer/ListCertificates; do
  echo "    $OTHER -> dispatcher /$path: $(as_user "$OTHER" curl -sS -w ' %{http_code}' -X POST -d data=x https://127.0.0.1:48460/$path)"
done
check "the dispatcher refused the module commands before loading (its log)" \
  sh -c "grep -q 'Module Signer refused before loading' $DISPATCHER_LOG && ! grep -q 'Module library loaded' $DISPATCHER_LOG"
check "no module is mapped into the dispatcher (/proc/$DISPATCHER_PID/maps)" sh -c "! grep -q '$APP/modules/' /proc/$DISPATCHER_PID/maps"

echo "==> Vendors' modules in $ACCOUNT's instance"
session_of() { sed -n 's/^[Xx]-[Qq][Tt][Xx]-[Ss]ession[Ii]d: *\([^[:space:]]*\).*/\1/p'; }
vendor_call() { # vendor_call <module>: the status of Ping and of its result, as the account
  local ca headers sid result
  ca="$(home_of "$ACCOUNT")/.config/Quorvex/QuorvexCryptoProvider/certs/QTX-ca.pem"
  headers=$(as_user "$ACCOUNT" curl -sS -D - -o /dev/null -w '%{http_code}' --cacert "$ca" -X POST -H 'X-QTX-cmdId: 7' \
    "https://127.0.0.1:${PORT[$ACCOUNT]}/$1/Ping")
  sid=$(session_of <<<"$headers" | tr -d '\r')
  sleep 0.3
  result=$(as_user "$ACCOUNT" curl -sS -o /dev/null -w '%{http_code}' --cacert "$ca" -X POST -H 'X-QTX-cmdId: 7' \
    -H "X-QTX-sessionId: $sid" "https://127.0.0.1:${PORT[$ACCOUNT]}/$1/GET_RESULT")
  echo "$(tail -n1 <<<"$headers") $result"
}
ACCOUNT_LOG="$(home_of "$ACCOUNT")/.config/Quorvex/QuorvexCryptoProvider/logs/QuorvexCryptoProvider.log"
check "a module signed with the key in /etc/quorvex/module-keys.d loads and runs (202, then 200)" test "$(vendor_call VendorAlive)" = "202 200"
stranger_refused() {
  [ "$(vendor_call StrangerAlive | cut -d' ' -f1)" = 404 ] \
    && grep -q "signed with key $STRANGER_FP, which this server does not trust" "$ACCOUNT_LOG"
}
check "one signed with another key is refused (404), the log naming that key ($STRANGER_FP)" stranger_refused
grep -h 'refused: signed with key' "$ACCOUNT_LOG" | tail -n1 | cut -c1-220 | sed 's/^/    /'

echo "==> Stopping the instances and the dispatcher"
for a in "$ACCOUNT" "$OTHER"; do check "$a's instance stops cleanly on SIGINT" stop "${INSTANCE_PID[$a]}"; done
check "the dispatcher stops cleanly on SIGINT" stop "$DISPATCHER_PID"
kill "$SQUATTER_PID" "$SITE_PID" 2>/dev/null; wait "$SQUATTER_PID" "$SITE_PID" 2>/dev/null
PIDS=()

echo "==> install-autostart.sh system refuses files root does not own alone"
autostart() { # autostart <folder>: its exit code, the unit written to a scratch folder
  QTX_NO_SYSTEMCTL=1 QTX_SYSTEMD_SYSTEM_DIR="$SNAP/units" "$ROOT_DIR/scripts/install-autostart.sh" system "$1" > "$SNAP/autostart.out" 2>&1
}
USER_COPY="$(home_of "$ACCOUNT")/qtx-run"
ROOT_COPY=$(mktemp -d /opt/qtx-run.XXXXXX)
for d in "$USER_COPY" "$ROOT_COPY"; do
  mkdir -p "$d" && cp -a "$APP/QuorvexCryptoProvider" "$d/" && cp "/etc/$PKG/QuorvexCryptoProvider.ini" "$d/"
done
chmod 0755 "$ROOT_COPY"
chown -R "$ACCOUNT:" "$USER_COPY"
refused_copy() { ! autostart "$1" && grep -q 'belongs to uid' "$SNAP/autostart.out"; }
unit_written() { autostart "$1" && grep -q '^User=quorvex-dispatcher' "$SNAP/units/quorvex-crypto-dispatcher.service"; }
check "a copy in $ACCOUNT's home is refused" refused_copy "$USER_COPY"
check "a root-owned copy gets its unit" unit_written "$ROOT_COPY"
rm -rf "$USER_COPY" "$ROOT_COPY"

echo "==> apt-get remove"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq "$PKG" "$PKG-dev" 2>&1 | tail -n 3
check "program files removed" test ! -e "$APP/QuorvexCryptoProvider"
check "trust removed from the system store" \
  sh -c "! ls /etc/ssl/certs | grep -qi quorvex && [ ! -e /usr/local/share/ca-certificates/quorvex-local-ca.crt ]"
for a in "$ACCOUNT" "$OTHER"; do
  check "trust removed from $a's Chromium and Firefox databases" \
    sh -c "! { for db in $(dbs_of "$a"); do certutil -L -d sql:\$db; done; } | grep -q 'Quorvex'"
done
check "configuration kept until purge" test -f /etc/$PKG/QuorvexCryptoProvider.ini

echo "==> apt-get purge"
rm -f /etc/quorvex/module-keys.d/vendor.pem "$APP"/modules/VendorAlive.* "$APP"/modules/StrangerAlive.*
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$PKG" 2>&1 | tail -n 3
dpkg --purge "$PKG-dev" >/dev/null 2>&1 || true
rm -rf "$OLD" "$VENDOR"

# ---------------------------------------------------------------------------
# A new user's first hour, timed from the installation to a signature that
# OpenSSL verifies, with only the steps README and docs give: install the
# package, start the instance ("Without systemd": this machine runs no user
# manager), make a software token (docs/signing.md, "No card? Try a software
# token"), serve the demo page and sign a file in it. The steps the docs
# leave to a person, picking the certificate and typing the PIN into the
# Signer's dialogs, are done with xdotool on an X server of the test's (the
# packaged module has no test hook).
first_hour() {
  local a="$NEWCOMER" home display xvfb pid log rc=1 started
  started=$(date +%s.%N)
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$DEB" >/dev/null 2>&1 || return 1
  id -u "$a" >/dev/null 2>&1 || useradd -m -s /bin/bash "$a"
  home=$(home_of "$a")
  # Xvfb picks a free display itself and writes its number once it accepts
  # connections: no race with a display another run is just closing.
  : > "$SNAP/xvfb.display"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$SNAP/xvfb.display" >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 1 300); do [ -s "$SNAP/xvfb.display" ] && break; sleep 0.1; done
  display=$(tr -dc 0-9 < "$SNAP/xvfb.display")
  [ -n "$display" ] || { echo "    Xvfb did not start"; kill "$xvfb" 2>/dev/null; return 1; }
  # The user's own steps, in the user's terminal.
  as_user "$a" sh -ec '
    qtx-provision --trust >/dev/null
    mkdir -p ~/.config/softhsm2 ~/.local/share/softhsm2/tokens
    printf "directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n" ~/.local/share/softhsm2/tokens \
      > ~/.config/softhsm2/softhsm2.conf
    softhsm2-util --init-token --free --label "My test token" --so-pin 12345678 --pin 1234 >/dev/null
    cd ~ && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout key.pem -out cert.pem \
      -subj "/CN=Test Signer" -days 365 -addext keyUsage=critical,digitalSignature,nonRepudiation 2>/dev/null
    openssl pkcs8 -topk8 -nocrypt -in key.pem -out key.p8
    softhsm2-util --import key.p8 --token "My test token" --label "Test Signer" --id 01 --pin 1234 >/dev/null
    openssl x509 -in cert.pem -outform DER -out cert.der
    pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label "My test token" --login --pin 1234 \
      --write-object cert.der --type cert --id 01 >/dev/null
    shred -u key.pem key.p8
    p11-kit list-modules | grep -q "My test token"' || { kill "$xvfb"; return 1; }
  # The documented start without systemd, from the user's terminal (it detaches).
  start_as "$a" "$home" env DISPLAY=":$display" /usr/lib/$PKG/QuorvexCryptoProvider
  pid=$LAST_PID
  log="$home/.config/Quorvex/QuorvexCryptoProvider/logs/QuorvexCryptoProvider.log"
  start_as "$a" / python3 -m http.server 8080 --bind 127.0.0.1 --directory /usr/share/$PKG/web >/dev/null 2>&1
  local site=$LAST_PID
  sleep 1
  printf 'Contract of the first hour\n' > "$SNAP/contract.txt"
  if [ -n "$(listening_port "$log" "$pid")" ] && DISPLAY=":$display" timeout 180 node "$ROOT_DIR/tests/browser/installed-sign.mjs" \
       --account "$a" --home "$home" --site http://localhost:8080 --port 48460 --file "$SNAP/contract.txt" \
       --pin 1234 --out "$SNAP/contract.txt.p7s" \
     && openssl cms -verify -binary -inform DER -in "$SNAP/contract.txt.p7s" -content "$SNAP/contract.txt" \
          -CAfile "$home/cert.pem" -purpose any -out /dev/null 2>"$SNAP/cms.txt"; then
    rc=0
  fi
  # The user's own record of that decision, through the packaged tool.
  if [ $rc -eq 0 ] && ! as_user "$a" qtx-sites receipts | grep -q 'http://localhost:8080'; then
    echo "    qtx-sites receipts has no line for http://localhost:8080"
    rc=1
  fi
  sed 's/^/    /' "$SNAP/cms.txt" 2>/dev/null
  echo "    install to a verified signature: $(awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f s", e - s }')"
  kill -INT "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
  kill "$site" "$xvfb" 2>/dev/null; wait "$site" "$xvfb" 2>/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$PKG" >/dev/null 2>&1
  userdel -r "$a" >/dev/null 2>&1 || true
  return $rc
}
echo "==> The first hour of a new user, timed: install, start, software token, demo page, signature"
check "a new user signs in the demo page with a software token, following the docs, and OpenSSL verifies it" first_hour
[ -z "${QTX_SERVER_LOCK:-}" ] || exec 9>&-

for a in "$ACCOUNT" "$OTHER"; do userdel -r "$a" >/dev/null 2>&1 || true; done
snapshot after
echo "==> Purge check"
left=$( (ls -d /etc/$PKG $APP $STATE /usr/share/doc/$PKG /usr/share/doc/$PKG-dev /usr/include/quorvex /etc/quorvex \
         /usr/lib/cmake/QuorvexModuleSdk /usr/share/$PKG /usr/bin/qtx-provision /usr/bin/qtx-sites /usr/bin/qtx-sign \
         /usr/lib/systemd/user/$PKG.service /lib/systemd/system/quorvex-crypto-dispatcher.service 2>/dev/null) )
echo "files left:        ${left:-none}"
pkg_state=$(dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null || true)
echo "dpkg state:        ${pkg_state:-not known to dpkg}"
echo "trust anchors:     $(diff "$SNAP/before.anchors" "$SNAP/after.anchors" >/dev/null && echo unchanged || diff "$SNAP/before.anchors" "$SNAP/after.anchors" | tr '\n' ' ')"
echo "CA bundle:         $(cmp -s "$SNAP/before.bundle" "$SNAP/after.bundle" && echo unchanged || echo changed)"
links=$(tr '\n' ' ' < "$SNAP/after.links")
echo "unit links:        ${links:-none}"
# Other processes on a shared machine may add accounts meanwhile: what counts is
# what appeared while apt-get installed, and what is left named after the package.
new_accounts=$(comm -13 "$SNAP/install.accounts" "$SNAP/installed.accounts" | tr '\n' ' ')
named=$(grep -iE 'quorvex|qtx-?provider' /etc/passwd | cut -d: -f1 | tr '\n' ' ')
echo "accounts:          ${new_accounts:-none} created by the install, ${named:-none} left after the purge"
check "purge leaves no files" test -z "$left"
check "purge leaves the source-tree run's key store as it was ($SRC_STORE)" \
  sh -c "[ '$(src_sum)' = '$SRC_BEFORE' ] && [ -s '$SRC_STORE/certs/QTX-ca.pem' ]"
[ "$SRC_MADE" = 0 ] || rm -rf "$SRC_STORE"
check "purge leaves nothing in dpkg's database" test -z "$pkg_state"
check "purge leaves the trust anchors as they were" cmp -s "$SNAP/before.anchors" "$SNAP/after.anchors"
check "purge leaves the CA bundle as it was" cmp -s "$SNAP/before.bundle" "$SNAP/after.bundle"
check "purge leaves no unit links" test ! -s "$SNAP/after.links"
check "the install created the dispatcher's account alone, and the purge removed it" \
  test "$new_accounts" = "$DISPATCHER_ACCOUNT " -a -z "$named"
finish
