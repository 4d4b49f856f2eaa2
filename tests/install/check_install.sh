#!/usr/bin/env bash
# Installs the build tree into a staging folder with cmake --install, checks the layout a
# Linux desktop expects, and starts the installed programs from there to see that they find
# their data. Usage: check_install.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/usr" >/dev/null
cd "$stage/usr"
id=org.orvane.OrvaneRecovery
expected=(
  bin/orvane-recovery bin/orvane libexec/orvane-device-helper libexec/orvane-device-writer
  share/orvane-recovery/language.ini share/orvane-recovery/Orvanerecovery.conf
  share/orvane-recovery/help/index.html
  share/applications/$id.desktop share/metainfo/$id.metainfo.xml
  share/polkit-1/actions/$id.policy share/man/man1/orvane.1
  share/icons/hicolor/scalable/apps/orvane-recovery.svg
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("share/icons/hicolor/${size}x${size}/apps/orvane-recovery.png")
done
missing=0
for file in "${expected[@]}"; do
  if [ ! -s "$file" ]; then
    echo "missing from the installed tree: $file"
    missing=1
  fi
done
[ "$missing" -eq 0 ]
for exe in bin/orvane-recovery bin/orvane libexec/orvane-device-helper libexec/orvane-device-writer; do
  [ -x "$exe" ] || { echo "not executable: $exe"; exit 1; }
done
# The icon bitmaps have the size their folder names.
python3 - <<'PY'
import struct, glob
for path in glob.glob('share/icons/hicolor/*x*/apps/orvane-recovery.png'):
    with open(path, 'rb') as f:
        head = f.read(24)
    assert head[:8] == b'\x89PNG\r\n\x1a\n', path
    w, h = struct.unpack('>II', head[16:24])
    size = int(path.split('/')[3].split('x')[0])
    assert (w, h) == (size, size), (path, w, h)
PY
# The helpers run as root: they link neither Qt nor the program's libraries.
for helper in libexec/orvane-device-helper libexec/orvane-device-writer; do
  if ldd "$helper" | grep -qi qt; then
    echo "$helper links Qt"
    exit 1
  fi
done

# The polkit actions name the helpers as installed under this prefix (not the one the
# build was configured with), each action its own executable; so does a second prefix,
# and a staged install (DESTDIR) names the final place.
check_policy() {  # POLICY PREFIX
  local policy=$1 prefix=$2
  local paths
  paths=$(grep -o '<annotate key="org.freedesktop.policykit.exec.path">[^<]*' "$policy" |
    sed 's/.*>//' | sort | tr '\n' ' ')
  if [ "$paths" != "$prefix/libexec/orvane-device-helper $prefix/libexec/orvane-device-writer " ]; then
    echo "the policy installed under $prefix names: $paths"
    exit 1
  fi
}
check_policy "share/polkit-1/actions/$id.policy" "$stage/usr"
other=$(mktemp -d)
cmake --install "$build" --prefix "$other/opt/orvane" >/dev/null
check_policy "$other/opt/orvane/share/polkit-1/actions/$id.policy" "$other/opt/orvane"
DESTDIR="$other/root" cmake --install "$build" --prefix /usr/local >/dev/null
check_policy "$other/root/usr/local/share/polkit-1/actions/$id.policy" /usr/local
rm -rf "$other"

# The installed programs find their data in share/orvane-recovery, with nothing pointing
# them there, and complain clearly when it is not there.
unset ORVANE_DATA_DIR
home=$(mktemp -d)
trap 'rm -rf "$stage" "$home"' EXIT
mkdir -m 700 "$home/run"
run_window() {
  env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" \
    XDG_RUNTIME_DIR="$home/run" QT_QPA_PLATFORM=offscreen ORVANE_BLOCK_DEVICES=0 \
    ASAN_OPTIONS=detect_leaks=0 timeout 3 "$1" 2>&1 || true
}
said=$(run_window "$PWD/bin/orvane-recovery")
if grep -q "no language.ini" <<<"$said"; then
  echo "the installed orvane-recovery did not find its data: $said"
  exit 1
fi
mkdir -p "$home/elsewhere"
cp bin/orvane-recovery "$home/elsewhere/"
said=$(run_window "$home/elsewhere/orvane-recovery")
grep -q "no language.ini in the data folder" <<<"$said" || {
  echo "a copy without its data did not say so: $said"
  exit 1
}
bin/orvane drives >/dev/null
echo "installed layout complete"
