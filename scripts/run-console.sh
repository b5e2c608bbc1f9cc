#!/usr/bin/env bash
# Sets up and starts the console on the built-in simulated enclosures.
set -euo pipefail
TERVALO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$TERVALO_ROOT/scripts/common.sh"
ensure_packages "${TERVALO_PACKAGES[@]}"
build_tervalo "$TERVALO_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERVALO_BUILD_TESTS=OFF
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$TERVALO_ROOT/build/src/tervalo" "$@"
fi
echo "No display found: showing the command-line console instead." >&2
exec "$TERVALO_ROOT/build/src/tervaloctl" drives "$@"
