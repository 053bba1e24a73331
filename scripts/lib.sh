# Shared helpers of the set-up scripts; sourced, not run.

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# qttools5-dev-tools: lrelease builds the Signer's translations.
BUILD_PACKAGES=(qtbase5-dev liblog4cpp5-dev libssl-dev libp11-kit-dev libqpdf-dev libpoppler-qt5-dev libfontconfig-dev qttools5-dev-tools pkg-config cmake ninja-build g++ openssl)
# What the Signer tests need: SoftHSM2 tokens, pkcs11-tool, p11-kit, an X
# server with xdotool to answer the dialog on a real display, and for the
# signature formats pdfsig/pdftoppm, qpdf and python3 (the local TSA and OCSP
# responder).
SIGNER_TEST_PACKAGES=(softhsm2 opensc p11-kit xvfb xdotool poppler-utils qpdf python3)
# What the log-in validator's tests (tests/web/, in the ctest suite) need: node, unless one is on PATH.
# The validator's own npm dependencies (pkijs, asn1js) come with npm ci (web_modules).
WEB_TEST_PACKAGES=()
command -v node >/dev/null 2>&1 || WEB_TEST_PACKAGES=(nodejs)
command -v npm >/dev/null 2>&1 || WEB_TEST_PACKAGES+=(npm)
# What the trust tests need: certutil for NSS databases.
TRUST_TEST_PACKAGES=(libnss3-tools)
# What scripts/package.sh needs besides the build: dpkg-shlibdeps, lintian.
PACKAGE_PACKAGES=(dpkg-dev lintian)

# The pinned npm dependencies of web/ (the validator's ASN.1 reader), which
# tests/web and tests/signer load from the source tree.
web_modules() {
  (cd "$ROOT_DIR/web" && timeout 300 npm ci --no-audit --no-fund --loglevel=error)
}

# Installs the Debian packages of the arguments that are missing (idempotent,
# non-interactive). Uses sudo when not root.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "==> Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# configure_and_build <build dir> [cmake options...]: configures and builds everything.
configure_and_build() {
  local dir="$1"; shift
  cmake -S "$ROOT_DIR" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

# configure_and_build_targets <build dir> "<cmake options>" <targets...>
configure_and_build_targets() {
  local dir="$1" options="$2"; shift 2
  # shellcheck disable=SC2086
  cmake -S "$ROOT_DIR" -B "$dir" -G Ninja $options >/dev/null
  cmake --build "$dir" -j"$(nproc)" --target "$@"
}
