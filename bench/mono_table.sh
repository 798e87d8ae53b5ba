#!/usr/bin/env bash
# Prints, as a Markdown table, the median input throughput (GB/s) of the mono
# downmix for every layout with a fast path and every path: what PCMToMono
# picks, each vector width the processor runs and the plain loop.  The last
# column is the picked path over the fastest other fast path; below 1 means a
# narrower path beat the pick (within the noise of the run: rerun that row).
#   bench/mono_table.sh [--csv FILE] [MONO_BENCH_ARGS...]
# --csv formats a saved run (mono_bench --benchmark_format=csv with
# repetitions and aggregates) instead of running mono_bench.  Environment:
# BUILD_DIR (default build/bench), REPS (default 9), MIN_TIME (default 0.05 s).
set -euo pipefail

source "$(dirname "$0")/common.sh"

if [ "${1:-}" = "--csv" ]; then
    csv=$2
    shift 2
else
    csv=$(mktemp "${TMPDIR:-/tmp}/mono-table-XXXXXX.csv")
    trap 'rm -f "$csv"' EXIT
    # Repetitions interleaved at random, so that a burst of other work on the
    # machine spreads over many rows instead of sinking one.
    "$build/bench/mono_bench" --benchmark_format=csv --benchmark_repetitions="${REPS:-9}" \
        --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
        --benchmark_min_time="${MIN_TIME:-0.05}" "$@" >"$csv" 2>/dev/null
fi

# The model name alone may be generic under a hypervisor: family and model too.
cpu=$(awk -F': *' '/^model name/ { n = $2 } /^cpu family/ { f = $2 } /^model\t/ { m = $2 }
    /^$/ { exit } END { if (n != "") printf "%s (family %s, model %s)", n, f, m }' \
    /proc/cpuinfo 2>/dev/null || true)
printf 'Median input throughput in GB/s, %s\n\n' "${cpu:-unknown processor}"

# Rows like "PCMToMonoWith/avx2/24-bit 6ch_median",...,bytes_per_second,...
awk -F, '
    /_median"/ {
        name = $1
        gsub(/"/, "", name)
        sub(/_median$/, "", name)
        n = split(name, part, "/")
        path = (part[1] == "PCMToMonoWith") ? part[2] : part[1]
        layout = part[n]
        gbs[layout, path] = $6 / 1e9
        has[path] = 1
    }
    END {
        for (bits = 16; bits <= 32; bits += 8)
            for (ch = 1; ch <= 8; ch++)
                if ((bits "-bit " ch "ch", "PCMToMono") in gbs)
                    order[++layouts] = bits "-bit " ch "ch"
        ncols = 0
        split("PCMToMono avx512 avx2 base PCMToMonoReference", all, " ")
        for (i = 1; i <= 5; i++)
            if (all[i] in has)
                col[++ncols] = all[i]
        head = "| layout |"
        rule = "| --- |"
        for (i = 1; i <= ncols; i++) {
            label = col[i] == "PCMToMono" ? "picked" : col[i] == "PCMToMonoReference" ? "plain loop" : col[i]
            head = head " " label " |"
            rule = rule " ---: |"
        }
        print head " picked / best other |"
        print rule " ---: |"
        for (r = 1; r <= layouts; r++) {
            l = order[r]
            line = "| " l " |"
            best = 0
            for (i = 1; i <= ncols; i++) {
                v = gbs[l, col[i]]
                line = line sprintf(" %.1f |", v)
                if (col[i] != "PCMToMono" && col[i] != "PCMToMonoReference" && v > best)
                    best = v
            }
            ratio = best > 0 ? sprintf("%.2f", gbs[l, "PCMToMono"] / best) : "-"
            print line " " ratio " |"
        }
    }' "$csv"
