#!/bin/sh
# Regenerates the pictures of this folder: builds korvalo-screenshots and runs it on a virtual
# X display (Xvfb), which renders every signing dialog, the main window, the path loader's
# windows and the update component's splash and question to a PNG file here.
#
#   docs/screenshots/make.sh [BUILD-FOLDER]      (default: build)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
case $build in /*) ;; *) build=$root/$build ;; esac

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target korvalo-screenshots

# Fixed time zone and regional settings: the certificate dates read the same on every run.
export TZ=Europe/Moscow
export LANG=ru_RU.UTF-8
unset LC_ALL LC_TIME || true
export QT_QPA_PLATFORM=xcb
xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" \
    "$build/bin/korvalo-screenshots" "$here"
