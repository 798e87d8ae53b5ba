#!/usr/bin/env bash
# Times the inspector (sondrel --json) against mediainfo and ffprobe on many
# small page-cached WAVE files, a sparse 5 GiB RF64 and BW64 against small
# files, and prints the ratios and the peak memory.  Run from anywhere:
#   bench/json_compare.sh
# Environment: COPIES (default 10000), RUNS (default 10), PEER_RUNS (mediainfo,
# default 3), FFPROBE_FILES (how many of the copies ffprobe is run on, one
# process each; default all), FFPROBE_RUNS (default 1), REPEATS (default 200),
# BUILD_DIR (default build/bench).
set -euo pipefail

source "$(dirname "$0")/common.sh"
copies=${COPIES:-10000}
runs=${RUNS:-10}
peer_runs=${PEER_RUNS:-3}
ffprobe_files=${FFPROBE_FILES:-$copies}
ffprobe_runs=${FFPROBE_RUNS:-1}
repeats=${REPEATS:-200}
big_bytes=$((5 << 30))
ixml_bytes=$((159 * (1 << 20) / 10)) # 15.9 MiB, under the 16 MiB that are parsed

# Peers and timers come from the distribution's packages, installed when missing.
"$root/tools/bootstrap.sh" mediainfo ffmpeg hyperfine time

bench_build sondrel make_json_wav
sondrel=$build/sondrel
make_wav=$build/bench/make_json_wav

bench_workdir inspect
cd "$work" # short relative paths keep the 10,000 arguments small

# The copies cycle through the test data: copy i is source i mod n.
echo "Making $copies copies of the test data and the large files in $work" >&2
sources=("$root"/tests/data/*.wav)
mkdir d
for ((j = 0; j < ${#sources[@]}; j++)); do
    targets=()
    for ((i = j; i < copies; i += ${#sources[@]})); do
        targets+=("$(printf 'd/%05d.wav' "$i")")
    done
    [ ${#targets[@]} -eq 0 ] || tee "${targets[@]}" <"${sources[j]}" >/dev/null
done
printf '%s\n' d/*.wav >all.txt
head -n "$ffprobe_files" all.txt >ffprobe.txt
head -n 100 all.txt >hundred.txt

# One process for the whole batch: the paths must fit in the argument space.
arg_bytes=$(($(tr '\n' '\0' <all.txt | wc -c) + $(env | wc -c) + 64))
arg_max=$(getconf ARG_MAX)
if [ "$arg_bytes" -ge "$arg_max" ]; then
    echo "The $copies paths take $arg_bytes bytes, ARG_MAX is $arg_max: fewer COPIES" >&2
    exit 1
fi

"$make_wav" sparse rf64_5g.wav RF64 "$big_bytes"
"$make_wav" sparse bw64_5g.wav BW64 "$big_bytes"
"$make_wav" sparse rf64_small.wav RF64 4096 # the same chunks around 4 KiB of audio
cp "$root/tests/data/ff_s16_stereo.wav" plain_small.wav
ixml_tracks=$("$make_wav" ixml ixml_big.wav "$ixml_bytes")
"$make_wav" ixml ixml_reference.wav "$ixml_bytes" reference >/dev/null
"$make_wav" bext bext_big.wav "$ixml_bytes"
# Warm the page cache so every command reads from memory.
cat d/*.wav plain_small.wav rf64_small.wav ixml_big.wav ixml_reference.wav bext_big.wav >/dev/null
head -c 4096 rf64_5g.wav >/dev/null
head -c 4096 bw64_5g.wav >/dev/null
tail -c 4096 rf64_5g.wav >/dev/null
tail -c 4096 bw64_5g.wav >/dev/null

# Median and minimum wall time in seconds of each command, one line each.
# Usage: times RUNS WARMUP COMMAND...   (exit codes are ignored: some test
# files carry defects, and the inspector exits 1 for them)
times()
{
    local runs=$1 warmup=$2
    shift 2
    local csv=$work/times.csv
    hyperfine -N -i --style none --runs "$runs" --warmup "$warmup" --output null \
        --export-csv "$csv" "$@" >/dev/null 2>&1
    tail -n +2 "$csv" | awk -F, '{print $4, $7}' # command,mean,stddev,median,user,system,min,max
}
ratio()
{
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", a / b }'
}
ms()
{
    awk -v t="$1" 'BEGIN { printf "%.1f", t * 1000 }'
}
us()
{
    awk -v t="$1" -v n="$2" 'BEGIN { printf "%.1f", t * 1e6 / n }'
}
row()
{
    printf '%-52s %12s %12s %10s\n' "$@"
}

batch="sh -c 'exec $sondrel --json d/*.wav >/dev/null'"
echo "Timing the batch of $copies: sondrel $runs runs, mediainfo $peer_runs," \
    "ffprobe $ffprobe_runs over $ffprobe_files files" >&2
read -r t_glob m_glob < <(times "$runs" 2 "sh -c 'exec true d/*.wav'")
read -r t_ins m_ins < <(times "$runs" 2 "$batch")
read -r t_mi m_mi < <(times "$peer_runs" 1 "sh -c 'exec mediainfo --Output=JSON d/*.wav >/dev/null'")
read -r t_ff m_ff < <(times "$ffprobe_runs" 0 "sh -c 'exec xargs -a ffprobe.txt -n 1 \
ffprobe -v error -print_format json -show_format -show_streams >/dev/null'")
# ffprobe on a subset is scaled to the whole batch, per file.
t_ff_all=$(awk -v t="$t_ff" -v n="$ffprobe_files" -v c="$copies" 'BEGIN { print t * c / n }')
m_ff_all=$(awk -v t="$m_ff" -v n="$ffprobe_files" -v c="$copies" 'BEGIN { print t * c / n }')

printf '\n%s page-cached copies of tests/data/*.wav, output to /dev/null; wall ms\n' "$copies"
row "" "median" "min" "target"
row "sh glob + exec of true (launch floor, in all rows)" "$(ms "$t_glob")" "$(ms "$m_glob")" ""
row "sondrel --json, one process" "$(ms "$t_ins")" "$(ms "$m_ins")" ""
row "mediainfo --Output=JSON, one process" "$(ms "$t_mi")" "$(ms "$m_mi")" ""
if [ "$ffprobe_files" -eq "$copies" ]; then
    row "ffprobe, one process per file" "$(ms "$t_ff_all")" "$(ms "$m_ff_all")" ""
else
    row "ffprobe, one per file ($ffprobe_files files, scaled)" "$(ms "$t_ff_all")" \
        "$(ms "$m_ff_all")" ""
fi
row "sondrel per file (us)" "$(us "$t_ins" "$copies")" "$(us "$m_ins" "$copies")" ""
row "mediainfo per file (us)" "$(us "$t_mi" "$copies")" "$(us "$m_mi" "$copies")" ""
row "ffprobe per file (us)" "$(us "$t_ff" "$ffprobe_files")" "$(us "$m_ff" "$ffprobe_files")" ""
row "mediainfo / sondrel" "$(ratio "$t_mi" "$t_ins")" "$(ratio "$m_mi" "$m_ins")" ">= 50"
row "ffprobe per file / sondrel" "$(ratio "$t_ff_all" "$t_ins")" "$(ratio "$m_ff_all" "$m_ins")" \
    ">= 500"

echo "Timing the 5 GiB files against small ones: $repeats runs each" >&2
read -r t_rf m_rf t_bw m_bw t_sm m_sm t_pl m_pl < <(times "$repeats" 10 \
    "$sondrel --json rf64_5g.wav" "$sondrel --json bw64_5g.wav" \
    "$sondrel --json rf64_small.wav" "$sondrel --json plain_small.wav" | paste -sd' ')
# The same file 1000 times in one process: the inspection without the start-up.
thousand()
{
    local args
    args=$(printf "$1 %.0s" $(seq 1000))
    echo "sh -c 'exec $sondrel --json $args >/dev/null'"
}
read -r k_rf n_rf k_bw n_bw k_sm n_sm k_pl n_pl < <(times "$runs" 2 \
    "$(thousand rf64_5g.wav)" "$(thousand bw64_5g.wav)" "$(thousand rf64_small.wav)" \
    "$(thousand plain_small.wav)" | paste -sd' ')

printf '\nOne file, page-cached headers; wall time, median and min\n'
row "" "process ms" "in-process us" "vs small"
row "RF64, 5 GiB of sparse audio, LIST after it" "$(ms "$t_rf") / $(ms "$m_rf")" \
    "$(us "$k_rf" 1000) / $(us "$n_rf" 1000)" "$(awk -v a="$k_rf" -v b="$k_sm" \
    'BEGIN { printf "%.2f", a / b }')"
row "BW64, the same" "$(ms "$t_bw") / $(ms "$m_bw")" "$(us "$k_bw" 1000) / $(us "$n_bw" 1000)" \
    "$(awk -v a="$k_bw" -v b="$k_sm" 'BEGIN { printf "%.2f", a / b }')"
row "RF64, the same chunks around 4 KiB of audio" "$(ms "$t_sm") / $(ms "$m_sm")" \
    "$(us "$k_sm" 1000) / $(us "$n_sm" 1000)" "1.00"
row "RIFF, tests/data/ff_s16_stereo.wav" "$(ms "$t_pl") / $(ms "$m_pl")" \
    "$(us "$k_pl" 1000) / $(us "$n_pl" 1000)" "$(awk -v a="$k_pl" -v b="$k_sm" \
    'BEGIN { printf "%.2f", a / b }')"

# Peak resident set in MiB: the largest of three runs.
peak_mib()
{
    local kb max=0
    for _ in 1 2 3; do
        /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 || true
        kb=$(tail -n 1 "$work/rss")
        [ "$kb" -gt "$max" ] && max=$kb
    done
    awk -v k="$max" 'BEGIN { printf "%.1f", k / 1024 }'
}
printf '\nPeak resident memory (MiB, largest of 3 runs; target <= 8 except the iXML)\n'
row "sondrel --json, the batch of $copies" "$(peak_mib sh -c "exec $sondrel --json d/*.wav")" "" ""
row "sondrel --json, the first 100 of the batch" \
    "$(peak_mib sh -c "exec $sondrel --json \$(cat hundred.txt)")" "" ""
row "sondrel --json, RF64 of 5 GiB" "$(peak_mib "$sondrel" --json rf64_5g.wav)" "" ""
row "sondrel --json, BW64 of 5 GiB" "$(peak_mib "$sondrel" --json bw64_5g.wav)" "" ""
row "sondrel --json, small file" "$(peak_mib "$sondrel" --json plain_small.wav)" "" ""
ixml_rss=$(peak_mib "$sondrel" --json ixml_big.wav)
ixml_mib=$(awk -v b="$ixml_bytes" 'BEGIN { printf "%.1f", b / 1048576 }')
row "sondrel --json, iXML of $ixml_mib MiB ($ixml_tracks tracks)" \
    "$ixml_rss" "" ""
row "  that peak / the iXML size" "$(awk -v r="$ixml_rss" -v m="$ixml_mib" \
    'BEGIN { printf "%.1f", r / m }')" "" ""
ixml_rss=$(peak_mib "$sondrel" --json ixml_reference.wav)
row "sondrel --json, the same iXML with a reference" "$ixml_rss" "" ""
row "  that peak / the iXML size" "$(awk -v r="$ixml_rss" -v m="$ixml_mib" \
    'BEGIN { printf "%.1f", r / m }')" "" ""
bext_rss=$(peak_mib "$sondrel" --json bext_big.wav)
row "sondrel --json, bext of $ixml_mib MiB (coding history)" "$bext_rss" "" ""
row "  that peak / the bext size" "$(awk -v r="$bext_rss" -v m="$ixml_mib" \
    'BEGIN { printf "%.1f", r / m }')" "" ""
