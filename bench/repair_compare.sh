#!/usr/bin/env bash
# Times sondrel --repair of a page-cached unfinalised recording against cp of
# the same file followed by sync of the copy, with and without --md5, and
# reports peak memory; then repairs a sparse recording whose audio is a hole.
# Run from anywhere:  bench/repair_compare.sh
# Environment: SIZE_MB (default 1024), SPARSE_GB (default 5), RUNS (default 9), BUILD_DIR.
set -euo pipefail

source "$(dirname "$0")/common.sh"
size_mb=${SIZE_MB:-1024}
sparse_gb=${SPARSE_GB:-5}
runs=${RUNS:-9}

"$root/tools/bootstrap.sh" time

bench_build sondrel make_bench_wav
sondrel=$build/sondrel

bench_workdir repair

# Writes 32-bit little-endian VALUE at byte OFFSET of FILE.
poke32()
{
    printf '%b' "$(printf '\\x%02x' $(($2 & 255)) $(($2 >> 8 & 255)) \
        $(($2 >> 16 & 255)) $(($2 >> 24 & 255)))" |
        dd of="$1" bs=1 seek="$3" conv=notrunc status=none
}

# An unfinalised recording: RIFF and data sizes left at 0, as a recorder
# leaves them when it stops without closing the file.
take=$work/take.wav
echo "Making a ${size_mb} MB unfinalised recording in $work" >&2
"$build/bench/make_bench_wav" "$take" 2 24 "$size_mb"
poke32 "$take" 0 4
poke32 "$take" 0 40
cat "$take" >/dev/null # page-cached

# Median wall time in seconds of each command, the runs of the commands
# interleaved (a machine shared with other work slows them alike); OUT and
# the copy removed and everything flushed before each run.
median()
{
    local i c k times=()
    for ((i = 0; i < runs; i++)); do
        k=0
        for c in "$@"; do
            rm -f "$work/out.wav" "$work/copy.wav"
            sync
            local start end
            start=$(date +%s%N)
            bash -c "$c" >/dev/null
            end=$(date +%s%N)
            times[k]+="$(((end - start) / 1000)) "
            k=$((k + 1))
        done
    done
    for ((k = 0; k < $#; k++)); do
        tr ' ' '\n' <<<"${times[k]}" | grep . | sort -n |
            awk '{ t[NR] = $1 } END { printf "%.6f\n", t[int((NR + 1) / 2)] / 1e6 }'
    done
}

ratio()
{
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

ms()
{
    awk -v s="$1" 'BEGIN { printf "%.0f", s * 1000 }'
}

# Peak resident memory in KiB and wall time in seconds of one run.
peak()
{
    rm -f "$work/out.wav"
    /usr/bin/time -f '%M %e' "$@" 2>&1 >/dev/null | tail -n 1
}

echo "Timing (median of $runs interleaved runs)" >&2
read -r t_cp t_repair t_md5 < <(median "cp $take $work/copy.wav && sync $work/copy.wav" \
    "$sondrel --repair $take $work/out.wav" \
    "$sondrel --repair --md5 $take $work/out.wav" | paste -sd' ')
read -r rss_repair _ < <(peak "$sondrel" --repair "$take" "$work/out.wav")
read -r rss_md5 _ < <(peak "$sondrel" --repair --md5 "$take" "$work/out.wav")
rm -f "$take" "$work/out.wav" "$work/copy.wav"

# A sparse recording: the header, then audio that is one hole.
sparse=$work/sparse.wav
printf 'RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x80\xbb\0\0\0\xee\x02\0\x04\0\x10\0data\0\0\0\0' \
    >"$sparse"
truncate -s "$((sparse_gb << 30))" "$sparse"
read -r rss_sparse t_sparse < <(peak "$sondrel" --repair "$sparse" "$work/out.wav")
blocks=$(stat -c %b "$work/out.wav")
read -r rss_sparse_md5 t_sparse_md5 < <(peak "$sondrel" --repair --md5 "$sparse" "$work/out.wav")

printf '\n%s MB page-cached unfinalised recording (24-bit stereo); medians in ms\n' "$size_mb"
printf '%-44s %8s %8s\n' "command" "ms" "ratio"
printf '%-44s %8s %8s\n' "cp IN COPY && sync COPY" "$(ms "$t_cp")" "1.00"
printf '%-44s %8s %8s\n' "sondrel --repair IN OUT" "$(ms "$t_repair")" "$(ratio "$t_repair" "$t_cp")"
printf '%-44s %8s %8s\n' "sondrel --repair --md5 IN OUT" "$(ms "$t_md5")" "$(ratio "$t_md5" "$t_cp")"
printf '\nPeak resident memory: --repair %s KiB, --repair --md5 %s KiB\n' "$rss_repair" "$rss_md5"
printf '\n%s GiB sparse unfinalised recording (audio one hole):\n' "$sparse_gb"
printf '  --repair       %6s s, peak %s KiB, OUT allocates %s KiB\n' "$t_sparse" "$rss_sparse" \
    "$((blocks / 2))"
printf '  --repair --md5 %6s s, peak %s KiB\n' "$t_sparse_md5" "$rss_sparse_md5"
