#!/usr/bin/env bash
# Renders the status menu, the icon states and every window under Xvfb into docs/screenshots/
# (or the folder given as the first argument), with sample projects and a loopback test server.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/screenshots}")
mkdir -p "$out"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLET_BUILD_BENCH=OFF >/dev/null
cmake --build build --target tst_screenshots -j 2 >/dev/null
export QUILLET_SCREENSHOT_DIR=$out QT_QPA_PLATFORM=xcb QUILLET_CREDENTIAL_STORE=file
# No D-Bus session: nothing on the desktop of whoever runs this is touched.
unset DBUS_SESSION_BUS_ADDRESS
xvfb-run -a -s "-screen 0 1280x800x24" ./build/tests/tst_screenshots
ls "$out"
