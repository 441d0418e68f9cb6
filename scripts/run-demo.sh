#!/usr/bin/env bash
# Installs dependencies, builds Space Vexlar and starts it on a simulated demo
# phone (apps with caches, messages, Safari and call history). Three of its
# apps refuse to vend their containers, as App Store apps do on current phones,
# so their caches are reached through a backup and a restore.
#   VEXLAR_SIM_ROOT  where simulated devices live (default: build/demo-devices)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh

cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target spacevexlar simdevice simdevice_framework simbackup

bin=build/dev/bin
export VEXLAR_SIM_ROOT=${VEXLAR_SIM_ROOT:-$root/build/demo-devices}
export VEXLAR_MOBILEDEVICE=$root/build/dev/lib/libsimdevice.so
export VEXLAR_BACKUP_HELPER=$root/$bin/simbackup

demo_udid=00008101-000A1B2C3D4E5F60
if [ ! -d "$VEXLAR_SIM_ROOT/$demo_udid" ]; then
  echo "Creating the demo device in $VEXLAR_SIM_ROOT ..."
  "$bin/simdevice" create --root "$VEXLAR_SIM_ROOT" --udid "$demo_udid" --name "Demo iPhone" \
    --product-type iPhone13,2 --ios 16.4 --preset demo --store-apps
fi
"$bin/simdevice" plug --root "$VEXLAR_SIM_ROOT" --udid "$demo_udid" >/dev/null 2>&1 || true

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: starting under a virtual X server (xvfb-run)." >&2
  exec xvfb-run -a -s "-screen 0 1280x900x24" "$bin/spacevexlar" "$@"
fi
exec "$bin/spacevexlar" "$@"
