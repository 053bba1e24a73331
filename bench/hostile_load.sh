#!/usr/bin/env bash
# Builds and runs the hostile-load tool (testkit/hostile_load.cpp) against the
# server of this tree, under the shared server lock. Arguments go to hostile_load, e.g.:
#   bench/hostile_load.sh                       # every attack, 20 s each
#   bench/hostile_load.sh --seconds 120         # the issue's full length
#   bench/hostile_load.sh --only slowloris-500,silent-tcp-100
#   bench/hostile_load.sh --short               # the invariant mode of the test command
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
BUILD_DIR="${BUILD_DIR:-$ROOT_DIR/build}"
ensure_packages "${BUILD_PACKAGES[@]}"
configure_and_build_targets "$BUILD_DIR" "" hostile_load QuorvexCryptoProvider qtx-provision example-modules
exec flock /tmp/qtx-server.lock "$BUILD_DIR/testkit/hostile_load" "$@"
