#!/usr/bin/env bash
# Times the audio MD5 and loudness measurement against md5sum and ffmpeg's
# ebur128 meter on large page-cached 24-bit files (stereo and 5.1), and
# prints the ratios, each thread's CPU time and the peak memory; then an
# accuracy table against libebur128 and ffmpeg on generated files and the
# test fixtures.
# Run from anywhere:  bench/measure_compare.sh
# Environment: SIZE_MB (default 512), RUNS (default 5), BUILD_DIR.
set -euo pipefail

source "$(dirname "$0")/common.sh"
size_mb=${SIZE_MB:-512}
runs=${RUNS:-5}

# Peers and timers come from the distribution's packages, installed when missing.
"$root/tools/bootstrap.sh" ffmpeg hyperfine openssl time linux-perf

bench_build sondrel measure_file make_bench_wav
sondrel=$build/sondrel
measure=$build/bench/measure_file
bench_workdir measure

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row() { printf '| %-36s | %9s | %9s | %8s |\n' "$@"; }
peak_kb() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'; }

# CPU seconds of each thread of a run (perf samples at 999 Hz).
threads() {
    perf record -q -F 999 -o "$work/perf.data" "$@" >/dev/null 2>&1
    perf report -i "$work/perf.data" -n -s pid --stdio 2>/dev/null |
        awk '/^ +[0-9.]+%/ { s = s sprintf(" %.2f", $2 / 999) } END { print s }'
}

for layout in "2 stereo" "6 5.1"; do
    read -r channels name <<<"$layout"
    big=$work/s24_$channels.wav
    echo "Making a ${size_mb} MB 24-bit $name file of noise in $work" >&2
    "$build/bench/make_bench_wav" "$big" "$channels" 24 "$size_mb"
    cat "$big" >/dev/null

    names=(md5sum both loudness ffmpeg)
    labels=(md5sum "sondrel --json --md5 --loudness" "sondrel --json --loudness"
            "ffmpeg ebur128=peak=true")
    commands=("md5sum $big" "$sondrel --json --md5 --loudness $big" "$sondrel --json --loudness $big"
              "ffmpeg -nostdin -hide_banner -nostats -i $big -af ebur128=peak=true -f null -")
    echo "Timing $runs runs of each, all in one hyperfine call" >&2
    time_commands "$runs" "${commands[@]}"

    printf '\n%s MB 24-bit %s, page cache; medians of %s runs\n\n' "$size_mb" "$name" "$runs"
    row command "wall (s)" "CPU (s)" "peak MB"
    row --- ---: ---: ---:
    for i in "${!names[@]}"; do
        # shellcheck disable=SC2086
        kb=$(peak_kb ${commands[$i]})
        row "${labels[$i]}" "$(printf %.3f "${wall[${names[$i]}]}")" \
            "$(printf %.3f "${cpu[${names[$i]}]}")" "$(awk -v k="$kb" 'BEGIN { printf "%.1f", k / 1024 }')"
    done
    printf '\n'
    row ratio wall CPU target
    row --- ---: ---: ---
    row "--json --md5 --loudness / md5sum" "$(ratio "${wall[both]}" "${wall[md5sum]}")" \
        "$(ratio "${cpu[both]}" "${cpu[md5sum]}")" "<= 1.4"
    row "ffmpeg / --json --loudness" "$(ratio "${wall[ffmpeg]}" "${wall[loudness]}")" \
        "$(ratio "${cpu[ffmpeg]}" "${cpu[loudness]}")" ">= 8"
    row "ffmpeg / --json --md5 --loudness" "$(ratio "${wall[ffmpeg]}" "${wall[both]}")" \
        "$(ratio "${cpu[ffmpeg]}" "${cpu[both]}")" ">= 8"
    if command -v perf >/dev/null; then
        printf '\nThreads (CPU s): --md5 --loudness%s; --loudness%s\n' \
            "$(threads "$sondrel" --json --md5 --loudness "$big")" \
            "$(threads "$sondrel" --json --loudness "$big")"
    fi
    rm -f "$big"
done

# ---------------------------------------------------------------------------
# Accuracy: ours, libebur128 alone (its true peak included) and ffmpeg.
r128() {
    ffmpeg -nostdin -hide_banner -nostats -i "$1" -af ebur128=peak=true -f null - 2>&1 |
        awk '/Summary:/ { s = 1 } s && $1 == "I:" { i = $2 } s && $1 == "LRA:" { l = $2 }
             s && $1 == "Peak:" { p = $2 } END { print i, l, p }'
}
figures() { # ours or libebur128's integrated, range and true peak
    "$measure" "$@" 2>/dev/null |
        awk '$1 == "integrated" { i = $2 } $1 == "range" { l = $2 } $1 == "true_peak" { p = $2 }
             END { print (i == "" ? "-" : i), (l == "" ? "-" : l), (p == "" ? "-" : p) }'
}
# Programme-like scenes: tones whose level steps every 6 s, 60 s long.
level='(0.06+0.05*sin(PI*floor(t/6)*1.7))'
gen() { # NAME LAYOUT CODEC EXPR
    ffmpeg -nostdin -v error -f lavfi -i "aevalsrc=$4:s=48000:d=60:c=$2" -c:a "$3" -y "$work/$1.wav"
}
tone() { echo "$level*sin(2*PI*$1*t)+0.3*$level*sin(2*PI*3000*t)"; }
stereo="$(tone 220)|$(tone 330)"
six="$(tone 220)|$(tone 330)|$(tone 440)|0.9*sin(2*PI*50*t)|$(tone 550)|$(tone 660)"
gen s16_stereo stereo pcm_s16le "$stereo"
gen s24_stereo stereo pcm_s24le "$stereo"
gen f32_stereo stereo pcm_f32le "$stereo"
gen alaw_stereo stereo pcm_alaw "$stereo"
gen mulaw_stereo stereo pcm_mulaw "$stereo"
gen s24_5.1 5.1 pcm_s24le "$six"

printf '\nOurs / libebur128 / ffmpeg ebur128=peak=true (its summary has one decimal)\n\n'
printf '| %-34s | %-22s | %-20s | %-22s |\n' file "integrated LUFS" "range LU" "true peak dBTP"
printf '| %s | %s | %s | %s |\n' --- --- --- ---
for f in "$work"/*.wav "$root"/tests/data/*.wav "$root"/../shared/fixtures/deb_*.wav; do
    [ -f "$f" ] || continue
    read -r oi ol op < <(figures --loudness "$f")
    read -r pi pl pp < <(figures --plain "$f")
    read -r fi fl fp < <(r128 "$f")
    printf '| %-34s | %-22s | %-20s | %-22s |\n' "$(basename "$f")" "$oi / $pi / $fi" \
        "$ol / $pl / $fl" "$op / $pp / $fp"
done
