#!/usr/bin/env bash
# Times the audio MD5 and loudness measurement against md5sum, openssl md5
# and ffmpeg's ebur128 meter on a large page-cached 24-bit stereo file, and
# prints the ratios, the CPU time and the peak memory; then an accuracy table
# against ffmpeg on generated files and the test fixtures.
# Run from anywhere:  bench/verify_compare.sh
# Environment: SIZE_MB (default 512), RUNS (default 5), BUILD_DIR.
set -euo pipefail

source "$(dirname "$0")/common.sh"
size_mb=${SIZE_MB:-512}
runs=${RUNS:-5}

# Peers and timers come from the distribution's packages, installed when missing.
"$root/tools/bootstrap.sh" ffmpeg hyperfine openssl time

bench_build sondrel verify_file make_bench_wav
sondrel=$build/sondrel
verify=$build/bench/verify_file

bench_workdir verify

big=$work/s24_stereo.wav
echo "Making a ${size_mb} MB 24-bit stereo file in $work" >&2
"$build/bench/make_bench_wav" "$big" 2 24 "$size_mb"
cat "$big" >/dev/null

# The whole program when its inspector takes --md5 and --loudness.
whole=()
if "$sondrel" --json --md5 --loudness "$big" >/dev/null 2>&1; then
    whole=("$sondrel --json --md5 $big" "$sondrel --json --loudness $big"
           "$sondrel --json --md5 --loudness $big")
fi

ffmpeg_r128="ffmpeg -nostdin -hide_banner -nostats -i $big -af ebur128=peak=true -f null -"
commands=("md5sum $big" "openssl md5 $big" "$verify --md5 $big" "$verify --loudness $big"
          "$verify --md5 --loudness $big" "$verify --plain $big" "$ffmpeg_r128" "${whole[@]}")
names=(md5sum openssl verify_md5 verify_loudness verify_both libebur128_plain ffmpeg
       json_md5 json_loudness json_both)

echo "Timing $runs runs of each, all in one hyperfine call" >&2
csv=$work/times.csv
hyperfine -N --style none --runs "$runs" --warmup 1 --output null --export-csv "$csv" \
    "${commands[@]}" >/dev/null 2>&1
# Columns: command,mean,stddev,median,user,system,min,max
declare -A wall cpu
i=0
while IFS=, read -r _ _ _ median user system _; do
    wall[${names[$i]}]=$median
    cpu[${names[$i]}]=$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')
    i=$((i + 1))
done < <(tail -n +2 "$csv")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row() { printf '%-34s %9s %9s %10s %10s\n' "$@"; }

printf '\n%s MB 24-bit stereo, page cache; medians of %s runs\n' "$size_mb" "$runs"
row "" "wall (s)" "CPU (s)" "" ""
for n in "${names[@]}"; do
    [ -n "${wall[$n]:-}" ] && row "$n" "$(printf %.3f "${wall[$n]}")" "$(printf %.3f "${cpu[$n]}")" "" ""
done
printf '\n'
row "ratio" "wall" "CPU" "target" ""
row "verify --md5 / md5sum" "$(ratio "${wall[verify_md5]}" "${wall[md5sum]}")" \
    "$(ratio "${cpu[verify_md5]}" "${cpu[md5sum]}")" "<= 1.1" ""
row "ffmpeg / verify --loudness" "$(ratio "${wall[ffmpeg]}" "${wall[verify_loudness]}")" \
    "$(ratio "${cpu[ffmpeg]}" "${cpu[verify_loudness]}")" ">= 3" ""
row "verify both / --loudness" "$(ratio "${wall[verify_both]}" "${wall[verify_loudness]}")" \
    "$(ratio "${cpu[verify_both]}" "${cpu[verify_loudness]}")" "<= 1.15" ""
row "libebur128 plain / --loudness" "$(ratio "${wall[libebur128_plain]}" "${wall[verify_loudness]}")" \
    "$(ratio "${cpu[libebur128_plain]}" "${cpu[verify_loudness]}")" "" ""
if [ ${#whole[@]} -gt 0 ]; then
    row "--json --md5 / md5sum" "$(ratio "${wall[json_md5]}" "${wall[md5sum]}")" \
        "$(ratio "${cpu[json_md5]}" "${cpu[md5sum]}")" "<= 1.1" ""
    row "ffmpeg / --json --loudness" "$(ratio "${wall[ffmpeg]}" "${wall[json_loudness]}")" \
        "$(ratio "${cpu[ffmpeg]}" "${cpu[json_loudness]}")" ">= 3" ""
    row "--json both / --json --loudness" "$(ratio "${wall[json_both]}" "${wall[json_loudness]}")" \
        "$(ratio "${cpu[json_both]}" "${cpu[json_loudness]}")" "<= 1.15" ""
fi

peak_kb() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'; }
printf '\nPeak memory (maximum resident set, KB)\n'
for args in "--md5" "--loudness" "--md5 --loudness"; do
    # shellcheck disable=SC2086
    printf '  verify_file %-18s %8s\n' "$args" "$(peak_kb "$verify" $args "$big")"
done
printf '  %-30s %8s\n' md5sum "$(peak_kb md5sum "$big")"
# shellcheck disable=SC2086
printf '  %-30s %8s\n' ffmpeg "$(peak_kb $ffmpeg_r128)"

# CPU seconds of each thread (perf samples at 999 Hz), and what they give on
# two free cores: the longest thread, or half the total if that is more.
if command -v perf >/dev/null; then
    printf '\nThreads (CPU s) and the wall time they allow on 2 free cores\n'
    for args in "--loudness" "--md5 --loudness"; do
        # shellcheck disable=SC2086
        perf record -q -F 999 -o "$work/perf.data" "$verify" $args "$big" >/dev/null 2>&1
        perf report -i "$work/perf.data" -n -s pid --stdio 2>/dev/null |
            awk -v what="$args" '/^ +[0-9.]+%/ { t = $2 / 999; s = s sprintf(" %.2f", t);
                    sum += t; if (t > top) top = t }
                END { est = sum / 2 > top ? sum / 2 : top;
                      printf "  verify_file %-18s threads%s -> %.2f s\n", what, s, est }'
    done
fi
rm -f "$big"

# ---------------------------------------------------------------------------
# Accuracy: integrated loudness, range and true peak against ffmpeg.
r128() {
    ffmpeg -nostdin -hide_banner -nostats -i "$1" -af ebur128=peak=true -f null - 2>&1 |
        awk '/Summary:/ { s = 1 } s && $1 == "I:" { i = $2 } s && $1 == "LRA:" { l = $2 }
             s && $1 == "Peak:" { p = $2 } END { print i, l, p }'
}
ours() {
    "$verify" --loudness "$1" |
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
gen s16_5.1 5.1 pcm_s16le "$six"
gen s24_5.1 5.1 pcm_s24le "$six"
gen f32_5.1 5.1 pcm_f32le "$six"

printf '\nAgainst ffmpeg ebur128=peak=true (ours / ffmpeg)\n'
printf '| %-34s | %-16s | %-12s | %-14s |\n' file "integrated LUFS" "range LU" "true peak dBTP"
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..36})" "$(printf -- '-%.0s' {1..18})" \
    "$(printf -- '-%.0s' {1..14})" "$(printf -- '-%.0s' {1..16})"
for f in "$work"/*.wav "$root"/tests/data/*.wav "$root"/../shared/fixtures/deb_*.wav; do
    [ -f "$f" ] || continue
    read -r oi ol op < <(ours "$f" 2>/dev/null || echo "- - -")
    read -r fi fl fp < <(r128 "$f")
    printf '| %-34s | %-16s | %-12s | %-14s |\n' "$(basename "$f")" "$oi / $fi" "$ol / $fl" "$op / $fp"
done
