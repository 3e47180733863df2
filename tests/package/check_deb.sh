#!/usr/bin/env bash
# Packs the built program into a .deb and checks what it installs: the program and the window
# program it becomes, its desktop entry (valid, and the dovan:// handler) and the icon, and
# nothing else.
#   check_deb.sh BUILD_DIR [DEB]   (with DEB given, inspects that file instead of packing)
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ $# -ge 2 ]]; then
  deb=$2
else
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; exit 1; }
  deb=$(ls "$work"/out/dovan_*.deb)
fi
fail() { echo "FAIL: $*"; exit 1; }

[[ "$(dpkg-deb -f "$deb" Package)" == dovan ]] || fail "package name"
[[ "$(dpkg-deb -f "$deb" Version)" == 0.5.3 ]] || fail "version"
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libqt6widgets6* ]] || fail "Depends lacks Qt: $depends"
[[ "$depends" == *libsystemd0* ]] || fail "Depends lacks libsystemd: $depends"
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ ", $recommends," == *", bluez,"* ]] || fail "Recommends lacks bluez: $recommends"

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sed 's|^\./|/|' | sort)
expected=$(printf '%s\n' /usr/bin/dovan /usr/libexec/dovan/dovan-window /usr/share/applications/dovan.desktop \
  /usr/share/icons/hicolor/scalable/apps/dovan.svg | sort)
[[ "$files" == "$expected" ]] || fail "files differ:
$files"

dpkg-deb -x "$deb" "$work/root"
entry=$work/root/usr/share/applications/dovan.desktop
desktop-file-validate "$entry" || fail "desktop-file-validate"
grep -qx 'MimeType=x-scheme-handler/dovan;' "$entry" || fail "no dovan:// handler"
grep -qx 'Exec=dovan %u' "$entry" || fail "Exec line"
grep -qx 'Icon=dovan' "$entry" || fail "Icon line"
[[ -x "$work/root/usr/bin/dovan" ]] || fail "program not executable"
"$work/root/usr/bin/dovan" --version | grep -qx 'Dovan 0.5.3' || fail "packed program does not run"
# Without a display the window program answers in one line: the launcher found it.
said=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM APPDATA="$work/appdata" \
  XDG_RUNTIME_DIR="$work" "$work/root/usr/bin/dovan" 2>&1 || true)
[[ "$said" == "[Dovan] 没有可用的图形显示，请改用 dovan --headless" ]] || fail "window program not found: $said"
grep -q '<svg' "$work/root/usr/share/icons/hicolor/scalable/apps/dovan.svg" || fail "icon"
echo "package: $(basename "$deb") holds what it should"
