#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded time.
#   fuzz/run-fuzzers.sh [RUNS | SECONDSs]    default: 200000 runs per target (fuzz_session: at
#                                            most 25 s of them); SECONDSs: that long each
# Exits non-zero when a target finds a crash, a sanitizer error or a broken invariant; the
# reproducer is left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=${1:-200000}
if [[ $limit =~ ^([0-9]+)s$ ]]; then
    bound=(-max_total_time="${BASH_REMATCH[1]}")
elif [[ $limit =~ ^[0-9]+$ ]]; then
    # The run count is the bound; the time cap only keeps a slowed-down machine from hanging CI.
    bound=(-runs="$limit" -max_total_time=600)
else
    echo "usage: $0 [RUNS | SECONDSs]" >&2
    exit 2
fi
# A session run plays a whole update on the virtual clock, a few hundred runs a second: by default
# it gets a time cap of its own, which keeps CI's fuzz step short.
declare -A default_cap=([session]=25)
targets=(identity frame imagefile session)

# The product's build dependencies (cmake, Qt) plus what only the fuzzers need.
./setup-deps.sh clang-14 libclang-rt-14-dev

build="build-fuzz"
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j"$(nproc)"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/artifacts"
failed=()
for target in "${targets[@]}"; do
    # New inputs go to the first directory (build tree); the seeds in fuzz/corpus stay as they are.
    work="$build/corpus/$target"
    mkdir -p "$work"
    args=("${bound[@]}")
    if [[ $limit =~ ^[0-9]+$ && -n ${default_cap[$target]:-} ]]; then
        args=(-runs="$limit" -max_total_time="${default_cap[$target]}")
    fi
    args+=(-artifact_prefix="$build/artifacts/$target-" -print_final_stats=1)
    [[ -f fuzz/$target.dict ]] && args+=(-dict="fuzz/$target.dict")
    echo "== fuzz_$target ${args[*]}"
    log="$build/$target.log"
    if "$build/fuzz_$target" "${args[@]}" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
        grep -E '^Done|stat::number_of_executed_units|stat::average_exec_per_sec' "$log" || true
    else
        tail -n 40 "$log"
        failed+=("$target")
    fi
done

if ((${#failed[@]})); then
    echo "Fuzzing FAILED: ${failed[*]} (reproducers in $build/artifacts/)" >&2
    exit 1
fi
echo "Fuzzing passed: ${targets[*]}"
