#!/usr/bin/env bash
# Times sondrel's audio streaming against cat, sox and ffmpeg on large
# page-cached files it makes itself, and prints the ratios, the downmix
# throughput and the peak memory.  Run from anywhere:  bench/compare.sh
# Environment: SIZE_MB (default 512), RUNS (default 15), BUILD_DIR.
set -euo pipefail

source "$(dirname "$0")/common.sh"
size_mb=${SIZE_MB:-512}
runs=${RUNS:-15}

# Peers and timers come from the distribution's packages, installed when missing.
"$root/tools/bootstrap.sh" sox ffmpeg hyperfine time

bench_build sondrel mono_bench make_bench_wav
sondrel=$build/sondrel

bench_workdir bench

s16=$work/s16_stereo.wav
s24=$work/s24_stereo.wav
echo "Making ${size_mb} MB test files in $work" >&2
"$build/bench/make_bench_wav" "$s16" 2 16 "$size_mb"
"$build/bench/make_bench_wav" "$s24" 2 24 "$size_mb"
# Warm the page cache so every command reads from memory.
cat "$s16" "$s24" >/dev/null

# Median wall time in seconds of each command, all runs in one hyperfine call.
# Usage: median RUNS WARMUP COMMAND...
median()
{
    local runs=$1 warmup=$2
    shift 2
    local csv=$work/times.csv
    hyperfine -N --style none --runs "$runs" --warmup "$warmup" --output null \
        --export-csv "$csv" "$@" >/dev/null
    tail -n +2 "$csv" | awk -F, '{print $4}' # columns: command,mean,stddev,median,...
}

ratio()
{
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

echo "Timing (median of $runs runs; sox and ffmpeg fewer)" >&2
read -r t_cat16 t_data16 t_mono16 < <(median "$runs" 3 "cat $s16" "$sondrel --data $s16" \
    "$sondrel --data --mono $s16" | paste -sd' ')
read -r t_cat24 t_data24 t_mono24 < <(median "$runs" 3 "cat $s24" "$sondrel --data $s24" \
    "$sondrel --data --mono $s24" | paste -sd' ')
sox_mono() { echo "sox -D -V1 $1 -t raw -e signed-integer -b 16 -c 1 /dev/null"; }
ffmpeg_mono() { echo "ffmpeg -nostdin -v error -i $1 -ac 1 -c:a pcm_s16le -f s16le -y /dev/null"; }
read -r t_sox16 t_ff16 < <(median 3 1 "$(sox_mono "$s16")" "$(ffmpeg_mono "$s16")" | paste -sd' ')
read -r t_sox24 t_ff24 < <(median 3 1 "$(sox_mono "$s24")" "$(ffmpeg_mono "$s24")" | paste -sd' ')

peak_kb()
{
    /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}'
}

printf '\n%s MB page-cached files, output to /dev/null; times are medians in ms\n' "$size_mb"
printf '%-44s %8s %8s %8s\n' "" "16-bit" "24-bit" "target"
row()
{
    printf '%-44s %8s %8s %8s\n' "$@"
}
ms()
{
    awk -v t="$1" 'BEGIN { printf "%.1f", t * 1000 }'
}
row "cat (ms)" "$(ms "$t_cat16")" "$(ms "$t_cat24")" ""
row "sondrel --data (ms)" "$(ms "$t_data16")" "$(ms "$t_data24")" ""
row "sondrel --data --mono (ms)" "$(ms "$t_mono16")" "$(ms "$t_mono24")" ""
row "sox downmix (ms)" "$(ms "$t_sox16")" "$(ms "$t_sox24")" ""
row "ffmpeg downmix (ms)" "$(ms "$t_ff16")" "$(ms "$t_ff24")" ""
row "--data / cat" "$(ratio "$t_data16" "$t_cat16")" "$(ratio "$t_data24" "$t_cat24")" "<= 1.2"
row "--data --mono / cat" "$(ratio "$t_mono16" "$t_cat16")" "$(ratio "$t_mono24" "$t_cat24")" \
    "<= 2"
row "sox / --data --mono" "$(ratio "$t_sox16" "$t_mono16")" "$(ratio "$t_sox24" "$t_mono24")" \
    ">= 10"
row "ffmpeg / --data --mono" "$(ratio "$t_ff16" "$t_mono16")" "$(ratio "$t_ff24" "$t_mono24")" \
    ">= 10"

# The downmix of many channels, where the vector kernels shuffle the most.
printf '\n--data --mono against cat on %s MB multichannel files (medians in ms)\n' "$size_mb"
printf '%-44s %8s %8s %8s %8s\n' "" "cat" "--mono" "ratio" "target"
for layout in "6 24" "8 24" "6 16"; do
    read -r ch bits <<<"$layout"
    wav=$work/s${bits}_${ch}ch.wav
    "$build/bench/make_bench_wav" "$wav" "$ch" "$bits" "$size_mb"
    cat "$wav" >/dev/null
    read -r t_cat t_mono < <(median "$runs" 3 "cat $wav" "$sondrel --data --mono $wav" |
        paste -sd' ')
    printf '%-44s %8s %8s %8s %8s\n' "$bits-bit $ch channels" "$(ms "$t_cat")" "$(ms "$t_mono")" \
        "$(ratio "$t_mono" "$t_cat")" "<= 1.25"
    rm -f "$wav"
done

printf '\nPeak memory (maximum resident set, KB)\n'
row "sondrel --data" "$(peak_kb "$sondrel" --data "$s16")" "$(peak_kb "$sondrel" --data "$s24")" ""
row "sondrel --data --mono" "$(peak_kb "$sondrel" --data --mono "$s16")" \
    "$(peak_kb "$sondrel" --data --mono "$s24")" ""
row "cat" "$(peak_kb cat "$s16")" "$(peak_kb cat "$s24")" ""

printf '\nPCMToMono input throughput (one block, in cache; every path: bench/mono_table.sh)\n'
"$build/bench/mono_bench" --benchmark_filter='^PCMToMono/' --benchmark_format=csv 2>/dev/null |
    awk -F, '/^"PCMToMono\// { gsub(/"/, "", $1); printf "  %-30s %6.1f GB/s\n", $1, $6 / 1e9 }'
