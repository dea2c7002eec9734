#!/usr/bin/env bash
# The line's live page over a sample record, to try it: installs what is missing (apt), builds
# pelmar-flash and the benchmark's record generator, writes today's shift so far for three
# stations (a new attempt every 3 s after that) and serves it on http://127.0.0.1:8080/.
#   ./serve-sample.sh [PORT]        Ctrl+C stops it.
set -euo pipefail
cd "$(dirname "$0")"
port=${1:-8080}
./setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target pelmar-flash bench_plant
folder=$(mktemp -d)
record=$folder/line.jsonl
build/tools/bench/bench_plant --sample "$record" --live &
generator=$!
trap 'kill $generator 2>/dev/null; rm -rf "$folder"' EXIT
while [[ ! -e $record ]]; do
    kill -0 $generator 2>/dev/null || exit 1
    sleep 0.1
done
echo "Open http://127.0.0.1:$port/ in a browser (the record: $record)"
build/cli/pelmar-flash --serve "$port" "$record"
