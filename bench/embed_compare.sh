#!/usr/bin/env bash
# Times sondrel --embed on a large page-cached 24-bit stereo recording whose
# JUNK chunk has room for the MD5 and bext chunks: --embed --md5 against
# md5sum, --embed --md5 --loudness against --json --md5 --loudness (the
# same one read of the audio, then the writes); and counts the bytes each
# kind of embed writes into the file (strace's record of its pwrite64 calls).
# Run from anywhere:  bench/embed_compare.sh
# Environment: SIZE_MB (default 512), RUNS (default 9), BUILD_DIR.
set -euo pipefail

source "$(dirname "$0")/common.sh"
size_mb=${SIZE_MB:-512}
runs=${RUNS:-9}

"$root/tools/bootstrap.sh" hyperfine strace

bench_build sondrel make_bench_wav
sondrel=$build/sondrel
bench_workdir embed

# VALUE as 4 little-endian bytes.
le32()
{
    printf '%b' "$(printf '\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
        $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}
# Writes 32-bit little-endian VALUE at byte OFFSET of FILE.
poke32() { le32 "$2" | dd of="$1" bs=1 seek="$3" conv=notrunc status=none; }

# FILE with a JUNK chunk of BYTES zeros after its fmt chunk (make_bench_wav
# writes the 12-byte header, a 24-byte fmt chunk and the data chunk).
with_junk()
{
    local size
    size=$(stat -c %s "$1")
    {
        head -c 36 "$1"
        printf 'JUNK'
        le32 "$2"
        head -c "$2" /dev/zero
        tail -c +37 "$1"
    } >"$1.junk"
    mv "$1.junk" "$1"
    poke32 "$1" $((size + 8 + $2 - 8)) 4
}

take=$work/take.wav
echo "Making a ${size_mb} MB 24-bit stereo recording with a 1 KiB JUNK chunk in $work" >&2
"$build/bench/make_bench_wav" "$take" 2 24 "$size_mb"
with_junk "$take" 1024
head -c 4096 "$take" >"$work/head.bin" # what each run is given back before it
restore="dd if=$work/head.bin of=$take conv=notrunc status=none"
cat "$take" >/dev/null # page-cached

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "Timing $runs runs of each, all in one hyperfine call" >&2
csv=$work/times.csv
hyperfine -N --style none --runs "$runs" --warmup 1 --output null --export-csv "$csv" \
    --prepare "$restore" \
    "md5sum $take" "$sondrel --embed --md5 $take" \
    "$sondrel --json --md5 --loudness $take" "$sondrel --embed --md5 --loudness $take" \
    >/dev/null 2>&1
mapfile -t median < <(tail -n +2 "$csv" | cut -d, -f4)
$restore

# Bytes written into the file by one run: the sizes of its pwrite64 calls.
written()
{
    strace -f -qq -e trace=pwrite64 -o "$work/trace" "$@" >/dev/null
    awk -F'= ' '{ s += $NF } END { print s + 0 }' "$work/trace"
}
# A copy of the header without the JUNK room, the audio cut short: the writes
# do not depend on the audio's length.
small=$work/small.wav
"$build/bench/make_bench_wav" "$small" 2 24 1
placeholder=$work/placeholder.wav
{ cat "$small" && printf 'MD5 \x10\0\0\0' && head -c 16 /dev/zero; } >"$placeholder"
poke32 "$placeholder" $(($(stat -c %s "$placeholder") - 8)) 4
cp "$small" "$work/append.wav"
bytes_filler=$(written "$sondrel" --embed --md5 --loudness "$take")
bytes_place=$(written "$sondrel" --embed --md5 "$placeholder")
bytes_append=$(written "$sondrel" --embed --md5 --loudness "$work/append.wav")

printf '\n%s MB page-cached 24-bit stereo recording; medians of %s runs in ms\n\n' \
    "$size_mb" "$runs"
printf '| %-40s | %8s | %8s | %8s |\n' command ms ratio target
printf '| %-40s | %8s | %8s | %8s |\n' --- ---: ---: ---
printf '| %-40s | %8.0f | %8s | %8s |\n' "md5sum" "$(ratio "${median[0]}" 0.001)" 1.00 ""
printf '| %-40s | %8.0f | %8s | %8s |\n' "sondrel --embed --md5" \
    "$(ratio "${median[1]}" 0.001)" "$(ratio "${median[1]}" "${median[0]}")" "<= 1.1"
printf '| %-40s | %8.0f | %8s | %8s |\n' "sondrel --json --md5 --loudness" \
    "$(ratio "${median[2]}" 0.001)" 1.00 ""
printf '| %-40s | %8.0f | %8s | %8s |\n' "sondrel --embed --md5 --loudness" \
    "$(ratio "${median[3]}" 0.001)" "$(ratio "${median[3]}" "${median[2]}")" "<= 1.1"
printf '\nBytes written into the file (target: at most 1024 in place or in a filler):\n'
printf '  MD5 and bext into the JUNK chunk:  %s\n' "$bytes_filler"
printf '  MD5 placeholder filled in place:   %s\n' "$bytes_place"
printf '  MD5 and bext appended, RIFF size:  %s\n' "$bytes_append"
