#!/usr/bin/env bash
# Builds the Debian packages of the server from this tree:
#   scripts/package.sh [build folder] [output folder]
#     build folder   default build-deb/ (Release, Debian's hardening flags,
#                    symbols stripped at link time, before modules are signed)
#     output folder  default dist/
# Results: quorvex-crypto-provider_<version>_amd64.deb (server, INI, the signed
# KeepAlive and Signer modules, signed ver.ini, qtx-provision, systemd units,
# manual pages) and quorvex-crypto-provider-dev_<version>_amd64.deb (SDK headers,
# CMake function, qtx-sign). The module-signing private key stays in the build folder; a vendor
# build passes its own keys through QTX_MODULE_PUBLIC_KEY / QTX_MODULE_PRIVATE_KEY.
# Runs lintian on both packages (QTX_SKIP_LINTIAN=1 skips it) and fails on errors.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

BUILD="$(realpath -m "${1:-$ROOT_DIR/build-deb}")"
OUT="$(realpath -m "${2:-$ROOT_DIR/dist}")"
ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

VERSION=$(sed -n 's/^project(QuorvexCryptoProvider VERSION \([0-9.]*\).*/\1/p' "$ROOT_DIR/CMakeLists.txt")
ARCH=$(dpkg --print-architecture)
PKG=quorvex-crypto-provider
APP=/usr/lib/$PKG

echo "==> Building $BUILD"
options=()
# A folder of its own (new, or made by this script before) gets the package's
# build settings; an existing developer build is packaged as it is.
if [ ! -f "$BUILD/CMakeCache.txt" ] || grep -q '^QTX_PACKAGE_BUILD:' "$BUILD/CMakeCache.txt"; then
  ldflags="$(dpkg-buildflags --get LDFLAGS)"
  # Debian's hardening flags; -s strips at link time, so the signature that the
  # build appends afterwards covers the shipped bytes. Modules name libc even
  # when they call nothing of it directly.
  options+=(-DQTX_PACKAGE_BUILD:BOOL=ON -DQTX_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    "-DCMAKE_EXE_LINKER_FLAGS=$ldflags -s"
    "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags -s"
    "-DCMAKE_MODULE_LINKER_FLAGS=$ldflags -s -Wl,--no-as-needed -lc")
fi
[ -z "${QTX_MODULE_PUBLIC_KEY:-}" ] || options+=("-DQTX_MODULE_PUBLIC_KEY=$QTX_MODULE_PUBLIC_KEY")
[ -z "${QTX_MODULE_PRIVATE_KEY:-}" ] || options+=("-DQTX_MODULE_PRIVATE_KEY=$QTX_MODULE_PRIVATE_KEY")
cmake --no-warn-unused-cli -S "$ROOT_DIR" -B "$BUILD" -G Ninja "${options[@]}" >/dev/null
# What users need, and nothing else: every installed module is a command any web
# page can send. KeepAlive (the liveness probe every account, root included, may
# call) and the Signer. The examples (Hasher, PublicInfo, ConfirmDialog, which lets
# any page open a window with its own text) stay in the source tree.
PACKAGED_MODULES=(KeepAlive Signer)
cmake --build "$BUILD" -j"$(nproc)" --target QuorvexCryptoProvider qtx-pdf-helper qtx-pdf-preview qtx-provision qtx-sites qtx-sign qtx-verini "${PACKAGED_MODULES[@]}"

STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
MAIN="$STAGE/$PKG"
DEV="$STAGE/$PKG-dev"
DOCS="$ROOT_DIR/packaging/debian"

# Files 0644, folders and executables 0755, whatever the umask.
put() { install -D -m "$1" "$2" "$3"; }

echo "==> Staging $PKG"
put 0755 "$BUILD/bin/QuorvexCryptoProvider" "$MAIN$APP/QuorvexCryptoProvider"
put 0644 "$BUILD/ver.ini" "$MAIN$APP/ver.ini"
# The Signer's PDF helpers, one confined process per document, found beside the
# server's executable: qtx-pdf-helper prepares (qpdf), qtx-pdf-preview draws the
# dialog's page (poppler-qt5).
put 0755 "$BUILD/bin/qtx-pdf-helper" "$MAIN$APP/qtx-pdf-helper"
put 0755 "$BUILD/bin/qtx-pdf-preview" "$MAIN$APP/qtx-pdf-preview"
# The INI is a configuration file in /etc; the server finds it beside its executable.
put 0644 "$ROOT_DIR/app/QuorvexCryptoProvider.ini" "$MAIN/etc/$PKG/QuorvexCryptoProvider.ini"
ln -s "/etc/$PKG/QuorvexCryptoProvider.ini" "$MAIN$APP/QuorvexCryptoProvider.ini"
# Secrets, authorities, certificates and keys are made on the machine, per
# account, in each account's key store (postinst for root, the units at start).
for name in "${PACKAGED_MODULES[@]}"; do
  module="$BUILD/modules/$name.so"
  put 0644 "$module" "$MAIN$APP/modules/$name.so"
  [ ! -f "$BUILD/modules/$name.xml" ] || put 0644 "$BUILD/modules/$name.xml" "$MAIN$APP/modules/$name.xml"
  if [ -d "$BUILD/modules/$name" ]; then
    (cd "$BUILD/modules" && find "$name" -type f) | while read -r f; do put 0644 "$BUILD/modules/$f" "$MAIN$APP/modules/$f"; done
  fi
done
put 0755 "$BUILD/bin/qtx-provision" "$MAIN/usr/bin/qtx-provision"
# The user's view of what each site may see and what they agreed to.
put 0755 "$BUILD/tools/qtx-sites" "$MAIN/usr/bin/qtx-sites"
# The page side: the JavaScript client and the demo page, served by any static
# web server (python3 -m http.server --directory /usr/share/$PKG/web).
for f in qtx-client.js qtx-client.classic.js qtx-client.d.ts demo/index.html demo/demo.js; do
  put 0644 "$ROOT_DIR/web/$f" "$MAIN/usr/share/$PKG/web/$f"
done
# Vendors' module-signing public keys, put there by the administrator.
install -d -m 0755 "$MAIN/etc/quorvex/module-keys.d"
unit() { # unit <template>: the unit as installed, without the note on the placeholders
  grep -v '^# Installed by:\|^# (@INSTALL_DIR@\|^# @PROVISION@' "$1" \
    | sed "s|@INSTALL_DIR@|$APP|g; s|@PROVISION@|/usr/bin/qtx-provision|g"
}
unit "$ROOT_DIR/packaging/systemd/quorvex-crypto-provider.service" > "$STAGE/user.service"
unit "$ROOT_DIR/packaging/systemd/quorvex-crypto-dispatcher.service" > "$STAGE/system.service"
put 0644 "$STAGE/user.service" "$MAIN/usr/lib/systemd/user/quorvex-crypto-provider.service"
put 0644 "$STAGE/system.service" "$MAIN/lib/systemd/system/quorvex-crypto-dispatcher.service"
mkdir -p "$MAIN/usr/share/man/man8" "$MAIN/usr/share/man/man1"
gzip -9n -c "$ROOT_DIR/packaging/man/QuorvexCryptoProvider.8" > "$MAIN/usr/share/man/man8/QuorvexCryptoProvider.8.gz"
gzip -9n -c "$ROOT_DIR/packaging/man/qtx-provision.1" > "$MAIN/usr/share/man/man1/qtx-provision.1.gz"
gzip -9n -c "$ROOT_DIR/packaging/man/qtx-sites.1" > "$MAIN/usr/share/man/man1/qtx-sites.1.gz"

echo "==> Staging $PKG-dev"
put 0755 "$BUILD/tools/qtx-sign" "$DEV/usr/bin/qtx-sign"
put 0644 "$ROOT_DIR/sdk/qtxmodule.h" "$DEV/usr/include/quorvex/qtxmodule.h"
put 0644 "$ROOT_DIR/sdk/qtxdisplaytext.h" "$DEV/usr/include/quorvex/qtxdisplaytext.h"
put 0644 "$ROOT_DIR/sdk/qtxlargebuffer.h" "$DEV/usr/include/quorvex/qtxlargebuffer.h"
put 0644 "$ROOT_DIR/sdk/QtxModule.cmake" "$DEV/usr/share/$PKG/cmake/QtxModule.cmake"
put 0644 "$DOCS/QuorvexModuleSdkConfig.cmake" "$DEV/usr/lib/cmake/QuorvexModuleSdk/QuorvexModuleSdkConfig.cmake"
mkdir -p "$DEV/usr/share/man/man1"
gzip -9n -c "$ROOT_DIR/packaging/man/qtx-sign.1" > "$DEV/usr/share/man/man1/qtx-sign.1.gz"

for p in "$MAIN" "$DEV"; do
  name=$(basename "$p")
  mkdir -p "$p/usr/share/doc/$name" "$p/DEBIAN"
  install -m 0644 "$DOCS/copyright" "$p/usr/share/doc/$name/copyright"
  sed "s/@VERSION@/$VERSION/; s/^quorvex-crypto-provider /$name /" "$DOCS/changelog" | gzip -9n > "$p/usr/share/doc/$name/changelog.gz"
done

# Shared-library dependencies of the binaries, as dpkg-shlibdeps finds them.
mkdir -p "$STAGE/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$PKG" "$PKG" > "$STAGE/debian/control"
shlibdeps() {
  (cd "$STAGE" && dpkg-shlibdeps -O "$@" 2>/dev/null) | sed -n 's/^shlibs:Depends=//p'
}
main_depends=$(shlibdeps "$MAIN$APP/QuorvexCryptoProvider" "$MAIN$APP/qtx-pdf-helper" "$MAIN$APP/qtx-pdf-preview" "$MAIN/usr/bin/qtx-provision" "$MAIN/usr/bin/qtx-sites" "$MAIN$APP"/modules/*.so)
dev_depends=$(shlibdeps "$DEV/usr/bin/qtx-sign")

installed_size() { du -sk --exclude=DEBIAN "$1" | cut -f1; }
cat > "$MAIN/DEBIAN/control" <<EOF
Package: $PKG
Version: $VERSION
Architecture: $ARCH
Maintainer: Quorvex Packaging <packaging@quorvex.invalid>
Installed-Size: $(installed_size "$MAIN")
Depends: $main_depends, adduser, ca-certificates, libnss3-tools, openssl, passwd
Recommends: opensc, p11-kit-modules, pcscd
Section: net
Priority: optional
Homepage: https://quorvex.invalid/
Description: local HTTPS command server for signed plug-in modules
 Lets JavaScript in web pages drive signed native plug-in modules on this
 machine over HTTPS on the loopback address. One instance runs per user
 account (a systemd user unit enabled for every account); the dispatcher, a
 sandboxed system service with an account of its own, tells each account's
 pages where that account's instance listens.
 .
 Each account gets its own secret, local certificate authority (limited to
 the loopback), server certificate for 127.0.0.1 and localhost and encrypted
 key, readable by that account alone, at the first start of its instance,
 which also makes that account's browsers trust it. The demo page and the
 JavaScript client are in /usr/share/quorvex-crypto-provider/web.
EOF
cat > "$DEV/DEBIAN/control" <<EOF
Package: $PKG-dev
Version: $VERSION
Architecture: $ARCH
Maintainer: Quorvex Packaging <packaging@quorvex.invalid>
Installed-Size: $(installed_size "$DEV")
Depends: $dev_depends, qtbase5-dev, cmake
Suggests: $PKG (= $VERSION)
Section: devel
Priority: optional
Homepage: https://quorvex.invalid/
Description: module author's SDK for the Quorvex Crypto Provider
 The ABI header of server modules (qtxmodule.h), the display helper for
 page-supplied text in dialogs (qtxdisplaytext.h), buffers for whole
 documents (qtxlargebuffer.h), the CMake function
 qtx_add_module (find_package(QuorvexModuleSdk)) that builds and signs a
 module, and the signing tool qtx-sign.
EOF
echo "/etc/$PKG/QuorvexCryptoProvider.ini" > "$MAIN/DEBIAN/conffiles"
install -m 0755 "$DOCS/postinst" "$DOCS/prerm" "$DOCS/postrm" "$MAIN/DEBIAN/"
for p in "$MAIN" "$DEV"; do
  (cd "$p" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 -r md5sum) > "$p/DEBIAN/md5sums"
  chmod 0644 "$p/DEBIAN/md5sums" "$p/DEBIAN/control"
  [ ! -f "$p/DEBIAN/conffiles" ] || chmod 0644 "$p/DEBIAN/conffiles"
  find "$p" -type d -exec chmod 0755 {} +
done

# Nothing private may ship: only the encrypted server key is ever made, on the machine.
if grep -rlE -- '-----BEGIN (RSA |EC )?PRIVATE KEY-----' "$MAIN" "$DEV"; then
  echo "a private key was staged: refusing to package" >&2
  exit 1
fi

mkdir -p "$OUT"
DEBS=("$OUT/${PKG}_${VERSION}_${ARCH}.deb" "$OUT/${PKG}-dev_${VERSION}_${ARCH}.deb")
dpkg-deb --root-owner-group -Zxz --build "$MAIN" "${DEBS[0]}" >/dev/null
dpkg-deb --root-owner-group -Zxz --build "$DEV" "${DEBS[1]}" >/dev/null
echo "==> Built ${DEBS[*]}"

if [ "${QTX_SKIP_LINTIAN:-0}" != 1 ]; then
  echo "==> lintian"
  lintian --tag-display-limit 0 "${DEBS[@]}" | tee "$OUT/lintian.txt" || true
  errors=$(grep -c '^E: ' "$OUT/lintian.txt" || true)
  warnings=$(grep -c '^W: ' "$OUT/lintian.txt" || true)
  echo "lintian: $errors errors, $warnings warnings"
  [ "$errors" -eq 0 ]
fi
