#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest.
set -euo pipefail
cd "$(dirname "$0")"
./setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
# The tests on the real clock mostly wait on the simulated device or pelmar-flash, so they can
# share the cores; the window's behaviour tests run on a virtual clock (tests/support/virtualtime.*).
ctest --test-dir build --output-on-failure -j4 "$@"
