#!/usr/bin/env bash
# Usage: check_package.sh CMAKE CPACK BUILD_DIR
# Builds the Debian package from the install rules of BUILD_DIR, unpacks it into a temporary root,
# checks its metadata and files, then starts the unpacked program on a private Xvfb display and
# looks for its mapped window. Cleans up its processes and files however it ends.
set -euo pipefail

cmake_cmd=$1 cpack_cmd=$2 build=$3
pkg=pelmar-firmware-update
title="Pelmar Firmware Update Tool"

tmp=$(mktemp -d)
xvfb_pid='' app_pid=''
cleanup() {
    set +e # every step must run, even after one fails
    if [[ -n $app_pid ]]; then kill -KILL -- "-$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null; fi
    if [[ -n $xvfb_pid ]]; then kill -TERM "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 2' INT TERM HUP

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# cpack's own install step first rebuilds the whole tree (its preinstall target), which must not
# happen while other tests run their programs; so the test stages the install itself and lets cpack
# package that directory with the project's own package settings.
DESTDIR=$tmp/stage "$cmake_cmd" --install "$build" --prefix /usr --strip >/dev/null
"$cpack_cmd" --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" \
    -D CPACK_INSTALL_CMAKE_PROJECTS= -D "CPACK_INSTALLED_DIRECTORIES=$tmp/stage;/" >"$tmp/cpack.log" 2>&1 \
    || { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
debs=("$tmp"/out/*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}
[[ $(basename "$deb") =~ ^${pkg}_[0-9][^_]*_[a-z0-9]+\.deb$ ]] || fail "unexpected file name $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == "$pkg" ]] || fail "Package is '$(field Package)'"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer is '$(field Maintainer)'"
[[ -n $(field Section) ]] || fail "no Section"
[[ -n $(field Description) ]] || fail "no Description"
depends=$(field Depends)
for lib in libqt5core5a libqt5gui5 libqt5widgets5 libqt5serialport5; do
    [[ ",$depends" =~ [,\|]\ *$lib\  ]] || fail "Depends lacks $lib: $depends"
done
[[ $(field Recommends) =~ fonts-noto-cjk ]] || fail "Recommends lacks a CJK font: $(field Recommends)"

# Exactly the product's files: no simulator, benchmark or test may slip in.
root=$tmp/root
dpkg-deb -x "$deb" "$root"
expected="./usr/bin/$pkg
./usr/bin/pelmar-flash
./usr/share/applications/$pkg.desktop
./usr/share/icons/hicolor/scalable/apps/$pkg.svg
./usr/share/man/man1/pelmar-flash.1.gz"
actual=$(cd "$root" && find . ! -type d | LC_ALL=C sort)
[[ $actual == "$expected" ]] || fail "package files differ; expected:
$expected
got:
$actual"

desktop=$root/usr/share/applications/$pkg.desktop
validate_out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $validate_out"
[[ -z $validate_out ]] || fail "desktop-file-validate complains: $validate_out"
key() { sed -n "s/^$1=//p" "$desktop"; }
[[ $(key Name) == "$title" ]] || fail "desktop Name is '$(key Name)'"
[[ $(key Type) == Application ]] || fail "desktop Type is '$(key Type)'"
exec_cmd=$(key Exec)
exec_cmd=${exec_cmd%% *}
[[ $exec_cmd != */* && -x $root/usr/bin/$exec_cmd ]] || fail "desktop Exec '$exec_cmd' is not an installed program"
icon=$(key Icon)
icon_file=$root/usr/share/icons/hicolor/scalable/apps/$icon.svg
[[ -f $icon_file ]] || fail "desktop Icon '$icon' has no installed icon"
rsvg-convert -w 48 -h 48 "$icon_file" -o "$tmp/icon.png" || fail "icon does not render"
[[ $(head -c 8 "$tmp/icon.png" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]] || fail "icon render is no PNG"

# A private X server; -displayfd picks a free display number and reports it once it accepts clients.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 </dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
    [[ -s $tmp/display ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$tmp/xvfb.log" >&2; fail "Xvfb did not start"; }
    sleep 0.05
done
[[ -s $tmp/display ]] || fail "Xvfb gave no display number"
DISPLAY=:$(head -n1 "$tmp/display")
export DISPLAY

# Started as the desktop entry names it, with the system's Qt platform plugin for X11, in a process
# group of its own so that cleanup also reaches anything it started.
QT_QPA_PLATFORM=xcb setsid "$root/usr/bin/$exec_cmd" >"$tmp/app.log" 2>&1 </dev/null &
app_pid=$!

wid=''
deadline=$((SECONDS + 10))
while ((SECONDS < deadline)); do
    wid=$(xdotool search --onlyvisible --pid "$app_pid" --name "^${title}\$" 2>/dev/null | head -n1) || true
    [[ -n $wid ]] && break
    kill -0 "$app_pid" 2>/dev/null || { cat "$tmp/app.log" >&2; fail "the program exited before showing its window"; }
    sleep 0.1
done
[[ -n $wid ]] || { cat "$tmp/app.log" >&2; xwininfo -root -tree >&2 || true; fail "no visible window titled '$title' within 10 s"; }

info=$(xwininfo -id "$wid")
grep -q 'Map State: IsViewable' <<<"$info" || fail "window $wid is not viewable: $info"
width=$(sed -n 's/^ *Width: //p' <<<"$info")
height=$(sed -n 's/^ *Height: //p' <<<"$info")
((width >= 200 && height >= 200)) || fail "window $wid is only ${width}x${height}"
# The launcher groups the window under its entry by this class.
wm_class=$(key StartupWMClass)
xprop -id "$wid" WM_CLASS | grep -q "\"$wm_class\"" || fail "WM_CLASS $(xprop -id "$wid" WM_CLASS) lacks '$wm_class'"

echo "OK: $(basename "$deb") installs and shows '$title' (${width}x${height}) on $DISPLAY"
echo "Depends: $depends"
