#!/usr/bin/env bash
# Builds Quillet (release) and runs it; arguments go to `quillet` (none: the tray app on a desktop,
# `quillet up` without one).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLET_BUILD_TESTS=OFF -DQUILLET_BUILD_BENCH=OFF >/dev/null
cmake --build build-release -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
if [ $# -eq 0 ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    set -- up
fi
exec ./build-release/src/quillet "$@"
