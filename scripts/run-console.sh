#!/usr/bin/env bash
# Sets up and starts the console on the built-in simulated enclosures.
set -euo pipefail
TERVALO_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$TERVALO_ROOT/scripts/common.sh"
ensure_packages "${TERVALO_PACKAGES[@]}"
build_tervalo "$TERVALO_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERVALO_BUILD_TESTS=OFF
# The built-in simulated enclosures unless told otherwise (for example --simulate=FILE, or
# TERVALO_REAL=1 for the host's own disks).
args=("$@")
if [ -z "${TERVALO_REAL:-}" ] && [ ${#args[@]} -eq 0 ]; then args=(--simulate); fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$TERVALO_ROOT/build/src/tervalo" "${args[@]}"
fi
echo "No display found: the command-line console on the same enclosures instead." >&2
ctl="$TERVALO_ROOT/build/src/tervaloctl"
"$ctl" "${args[@]}" detect
exec "$ctl" "${args[@]}" watch --count 12 --log-dir "$TERVALO_ROOT/build/demo-log"
