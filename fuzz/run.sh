#!/usr/bin/env bash
# Fuzzes sondrel under every option set that matters.
#
#   fuzz/run.sh SECONDS      fuzz each option set for SECONDS (default 60)
#   fuzz/run.sh --replay     run every saved input once under every option set
#
# New inputs go to a scratch folder (kept in build/fuzz/work); crashing inputs
# are written to build/fuzz/artifacts and the script fails.  Inputs worth
# keeping are merged into fuzz/corpus with -merge=1 by hand.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/bootstrap.sh clang-14 libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

fuzzer=build/fuzz/fuzz/sondrel_fuzz
work=build/fuzz/work
artifacts=build/fuzz/artifacts
mkdir -p "$work" "$artifacts"

option_sets=(
    ""
    "--chunks"
    "--fmt --bext"
    "--ixml"
    "--data"
    "--data --mono"
    "--data --dryrun"
    "--rawchunks"
    "--rawchunks --chunks"
    "--json"
    "--json --signal"
    "--repair"
    "--embed"
    "--set"
)

# The test data are extra seeds, with the fixtures kept outside the
# repository when their folder is beside it.
seeds=(fuzz/corpus tests/data)
[ -d ../shared/fixtures ] && seeds+=(../shared/fixtures)

if [ "${1:-}" = "--replay" ]; then
    for options in "${option_sets[@]}"; do
        echo "replay [${options:-no options}]"
        if ! SONDREL_FUZZ_OPTIONS="$options" "$fuzzer" -runs=0 -rss_limit_mb=2048 \
            -malloc_limit_mb=4096 -artifact_prefix="$artifacts/" "${seeds[@]}" \
            >"$work/replay.log" 2>&1; then
            tail -n 40 "$work/replay.log" >&2
            echo "fuzz: a saved input fails under [${options}]" >&2
            exit 1
        fi
        tail -n 1 "$work/replay.log"
    done
    exit 0
fi

seconds=${1:-60}
rm -f "$artifacts"/*
for options in "${option_sets[@]}"; do
    name=$(echo "${options:-none}" | tr -d '-' | tr ' ' '_')
    mkdir -p "$work/$name"
    echo "fuzz [${options:-no options}] for ${seconds}s"
    SONDREL_FUZZ_OPTIONS="$options" "$fuzzer" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -malloc_limit_mb=4096 -max_len=65536 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$work/$name" "${seeds[@]}" 2>&1 |
        grep -a -E '^(stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|==[0-9]+==ERROR|SUMMARY)' || true
done
if compgen -G "$artifacts/*" >/dev/null; then
    echo "fuzz: findings in $artifacts" >&2
    exit 1
fi
