#!/usr/bin/env bash
# Builds the Debian package from this checkout, validates its desktop data, checks
# it with lintian, installs it, starts the installed program on a simulated phone
# (offscreen, no VEXLAR_* variable set: the installed phone library and helper
# reach the simulator's usbmuxd), runs the installed vexlar-backup on a backup,
# then removes the package and checks that none of its files is left.
# Needs the development build (build/dev) for the simulator and root or sudo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

desktop-file-validate dist/org.spacevexlar.SpaceVexlar.desktop
appstreamcli validate --no-net dist/org.spacevexlar.SpaceVexlar.metainfo.xml

# dpkg-buildpackage writes beside the source folder: build from a copy under build/.
out=$root/build/package
rm -rf "$out"
mkdir -p "$out/src"
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$out/src"
if command -v ccache >/dev/null; then
  # debhelper gives the build a home of its own; the cache stays the caller's.
  export CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
(cd "$out/src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -b -us -uc)
deb=$(ls "$out"/spacevexlar_*.deb)
lintian --fail-on error --suppress-tags bad-distribution-in-changes-file "$out"/*.changes

$SUDO apt-get install -y -qq --no-install-recommends "$deb"
installed=$(dpkg -L spacevexlar)
work=$(mktemp -d)
muxd=""
cleanup() {
  [ -n "$muxd" ] && kill "$muxd" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A simulated phone served by the simulator's usbmuxd, as the real daemon would.
bin=$root/build/dev/bin
udid=00008101-000A1B2C3D4E5F60
export VEXLAR_SIM_ROOT=$work/devices
"$bin/simdevice" create --root "$VEXLAR_SIM_ROOT" --udid "$udid" --name "Packaged Phone" \
  --product-type iPhone13,2 --ios 16.4 --preset demo >/dev/null
"$bin/simusbmuxd" --socket "$work/usbmuxd" --owner $$ >"$work/usbmuxd.log" 2>&1 &
muxd=$!
for _ in $(seq 50); do [ -S "$work/usbmuxd" ] && break; sleep 0.1; done
mkdir -p "$work/home"
env -u VEXLAR_MOBILEDEVICE -u VEXLAR_BACKUP_HELPER -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_CACHE_HOME \
  -u XDG_STATE_HOME HOME="$work/home" QT_QPA_PLATFORM=offscreen USBMUXD_SOCKET_ADDRESS="UNIX:$work/usbmuxd" \
  VEXLAR_TEST_AUTOANSWER=1 VEXLAR_QUIT_AFTER_MS=10000 /usr/bin/spacevexlar
# The log in the XDG state folder names the installed library; the phone's apps, listed, have
# their folders in the XDG icon cache.
grep -q "device framework loaded from /usr/lib/.*/spacevexlar/libvexlar-imd.so" \
  "$work"/home/.local/state/spacevexlar/logs/log-*.txt
if ! [ -d "$work/home/.cache/spacevexlar/ios_cache/$udid/com.example.pixelpost" ]; then
  echo "the installed program did not list the phone" >&2
  exit 1
fi

# The installed command line on a backup written by the independent peer.
python3 tests/backupinterop/devicebackup.py write "$VEXLAR_SIM_ROOT/$udid/files" "$work/backup" --format db >/dev/null
/usr/bin/vexlar-backup scan "$work/backup" --json | grep -q '"categories"'

$SUDO apt-get purge -y -qq spacevexlar
if dpkg-query -W spacevexlar >/dev/null 2>&1 && dpkg-query -W -f='${Status}' spacevexlar | grep -q installed; then
  echo "spacevexlar is still installed" >&2
  exit 1
fi
left=0
while read -r path; do
  if [ -f "$path" ] || [ -L "$path" ]; then echo "left behind: $path" >&2; left=1; fi
done <<<"$installed"
for folder in /usr/lib/*/spacevexlar /usr/libexec/spacevexlar; do
  if [ -e "$folder" ]; then echo "left behind: $folder" >&2; left=1; fi
done
[ "$left" = 0 ]
echo "package $deb: built, validated, installed, run and removed"
