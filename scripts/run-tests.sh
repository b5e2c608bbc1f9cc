#!/usr/bin/env bash
# Sets up and runs every test.
set -euo pipefail
TERVALO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$TERVALO_ROOT/scripts/common.sh"
ensure_packages "${TERVALO_PACKAGES[@]}"
build_dir="$TERVALO_ROOT/build-tests"
build_tervalo "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DTERVALO_BUILD_TESTS=ON
ctest --test-dir "$build_dir" -j"${TERVALO_JOBS:-2}" --output-on-failure "$@"
