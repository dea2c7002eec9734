#!/usr/bin/env bash
# Builds the whole tree with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/) and runs
# the tests there; any sanitizer finding or leak fails its test (options in tests/CMakeLists.txt,
# leak suppressions in tests/lsan.supp). Extra arguments go to ctest, e.g. -R tst_update.
# Left out: the package test (a sanitized build is not what is shipped).
set -euo pipefail
cd "$(dirname "$0")/.."

./setup-deps.sh
build="build-asan"
cmake -S . -B "$build" -DPELMAR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j4 -LE '^install$' "$@"
