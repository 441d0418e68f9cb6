#!/usr/bin/env bash
# Renders the README's pictures from a simulated demo phone, offscreen:
# docs/screenshot.png (the window after an app-cache scan) and
# docs/details.png (the messages' details after a scan of the unwanted data).
# Every file the program and the simulator write goes to a temporary folder.
#   scripts/screenshots.sh [build folder, default build/dev]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/dev}" && pwd)
cmake --build "$build" --target ui_screenshot simdevice simdevice_framework simbackup >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache XDG_STATE_HOME=$work/state
export QT_QPA_PLATFORM=offscreen TZ=UTC LANG=C.UTF-8
export VEXLAR_SIM_ROOT=$work/devices
export VEXLAR_MOBILEDEVICE=$build/lib/libsimdevice.so
export VEXLAR_BACKUP_HELPER=$build/bin/simbackup
"$build/bin/simdevice" create --root "$VEXLAR_SIM_ROOT" --udid 00008101-000A1B2C3D4E5F60 --name "Demo iPhone" \
  --product-type iPhone13,2 --ios 16.4 --preset demo >/dev/null

"$build/tests/ui/ui_screenshot" "$root/docs/screenshot.png"
"$build/tests/ui/ui_screenshot" "$root/docs/details.png" --details
