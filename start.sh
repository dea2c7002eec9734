#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tool with a simulated device attached, so the
# whole update can be tried with nothing plugged in. Options go to the demo (--help lists them).
set -euo pipefail
cd "$(dirname "$0")"
./setup-deps.sh --window
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target pelmar-demo pelmar-firmware-update pelmar-devicesim
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display found. Start it on a virtual one:  xvfb-run -a ./start.sh" >&2
    exit 1
fi
exec ./build/tools/demo/pelmar-demo "$@"
