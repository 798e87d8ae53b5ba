#!/usr/bin/env bash
# Times --signal against md5sum and ffmpeg's astats filter on large
# page-cached 24-bit files (stereo and 5.1) and prints the ratios against
# the targets and the peak memory, on the file and on one an eighth as long.
# Run from anywhere:  bench/signal_compare.sh
# Environment: SIZE_MB (default 512), RUNS (default 5), BUILD_DIR, CHANNELS
# (default "2 6": the layouts to time).
set -euo pipefail

source "$(dirname "$0")/common.sh"
size_mb=${SIZE_MB:-512}
runs=${RUNS:-5}

"$root/tools/bootstrap.sh" ffmpeg hyperfine time

bench_build sondrel make_bench_wav
sondrel=$build/sondrel
bench_workdir signal

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row() { printf '| %-44s | %9s | %9s | %8s |\n' "$@"; }
peak_mb() {
    /usr/bin/time -v "$@" 2>&1 >/dev/null |
        awk -F': ' '/Maximum resident/ { printf "%.1f", $2 / 1024 }'
}

for channels in ${CHANNELS:-2 6}; do
    case $channels in 2) name=stereo ;; 6) name=5.1 ;; *) name="$channels-channel" ;; esac
    big=$work/s24_$channels.wav small=$work/s24_${channels}_small.wav
    echo "Making ${size_mb} MB and $((size_mb / 8)) MB 24-bit $name files of noise in $work" >&2
    "$build/bench/make_bench_wav" "$big" "$channels" 24 "$size_mb"
    "$build/bench/make_bench_wav" "$small" "$channels" 24 "$((size_mb / 8))"
    cat "$big" "$small" >/dev/null

    # --md5 --loudness alone shows what --signal adds to the read.
    names=(md5sum all both signal ffmpeg)
    labels=(md5sum "sondrel --json --md5 --loudness --signal" "sondrel --json --md5 --loudness"
            "sondrel --json --signal" "ffmpeg astats")
    commands=("md5sum $big" "$sondrel --json --md5 --loudness --signal $big"
              "$sondrel --json --md5 --loudness $big" "$sondrel --json --signal $big"
              "ffmpeg -nostdin -hide_banner -nostats -i $big -af astats -f null -")
    echo "Timing $runs runs of each, all in one hyperfine call" >&2
    time_commands "$runs" "${commands[@]}"

    printf '\n%s MB 24-bit %s, page cache; medians of %s runs\n\n' "$size_mb" "$name" "$runs"
    row command "wall (s)" "CPU (s)" "peak MB"
    row --- ---: ---: ---:
    for i in "${!names[@]}"; do
        # shellcheck disable=SC2086
        row "${labels[$i]}" "$(printf %.3f "${wall[${names[$i]}]}")" \
            "$(printf %.3f "${cpu[${names[$i]}]}")" "$(peak_mb ${commands[$i]})"
    done
    printf '\n'
    row ratio wall CPU target
    row --- ---: ---: ---
    row "--json --md5 --loudness --signal / md5sum" "$(ratio "${wall[all]}" "${wall[md5sum]}")" \
        "$(ratio "${cpu[all]}" "${cpu[md5sum]}")" "<= 1.5"
    row "--json --md5 --loudness --signal / without" "$(ratio "${wall[all]}" "${wall[both]}")" \
        "$(ratio "${cpu[all]}" "${cpu[both]}")" ""
    row "--json --signal / md5sum" "$(ratio "${wall[signal]}" "${wall[md5sum]}")" \
        "$(ratio "${cpu[signal]}" "${cpu[md5sum]}")" "<= 1.0"
    row "ffmpeg astats / --json --signal" "$(ratio "${wall[ffmpeg]}" "${wall[signal]}")" \
        "$(ratio "${cpu[ffmpeg]}" "${cpu[signal]}")" ">= 10"
    printf '\nPeak MB of --json --md5 --loudness --signal: %s on %s MB, %s on %s MB\n' \
        "$(peak_mb "$sondrel" --json --md5 --loudness --signal "$big")" "$size_mb" \
        "$(peak_mb "$sondrel" --json --md5 --loudness --signal "$small")" "$((size_mb / 8))"
    rm -f "$big" "$small"
done
