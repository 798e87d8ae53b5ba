#!/usr/bin/env bash
# Times sondrel --set: an in-place edit of a 4 GiB (sparse) RF64 file
# against the same edit of a 4 MiB one (the audio is never read); --set-from
# over FILES small files, one field changed in each, against the same number
# of flushed small writes made alone (a dd oflag=dsync process a file, and
# one process doing pwrite and fsync a file); a rewrite (an iXML replaced)
# of a SIZE_MB file against cp then sync; and, for scale, exiftool reading
# the FILES files once.
# Run from anywhere:  bench/set_compare.sh
# Environment: SIZE_MB (default 1024), FILES (default 10000), RUNS (default
# 5), MANY_RUNS (default 3), BUILD_DIR, or SONDREL (a built binary: nothing is built then).
set -euo pipefail

source "$(dirname "$0")/common.sh"
size_mb=${SIZE_MB:-1024}
files=${FILES:-10000}
runs=${RUNS:-5}
many_runs=${MANY_RUNS:-3} # each run of the many-files part flushes FILES times

"$root/tools/bootstrap.sh" hyperfine libimage-exiftool-perl python3
if [ -n "${SONDREL:-}" ]; then
    sondrel=$(realpath "$SONDREL")
else
    bench_build sondrel
    sondrel=$build/sondrel
fi
bench_workdir set

# make.py KIND PATH [BYTES]: a WAVE file of 16-bit stereo whose audio is a
# hole (sparse) or zeros, with a bext chunk (room for a longer history) and,
# for "ixml", an iXML chunk after the audio.
cat >"$work/make.py" <<'PY'
import os, struct, sys
kind, path = sys.argv[1], sys.argv[2]
audio = int(sys.argv[3]) if len(sys.argv) > 3 else 1024
def chunk(i, b): return i + struct.pack('<I', len(b)) + b + (b'\0' if len(b) % 2 else b'')
fmt = chunk(b'fmt ', struct.pack('<HHIIHH', 1, 2, 48000, 192000, 4, 16))
bext = chunk(b'bext', bytes(602) + b'A=PCM,F=48000,W=16,M=stereo\r\n' + bytes(99))
tail = chunk(b'iXML', b'<BWFXML><PROJECT>a</PROJECT></BWFXML>\n') if kind == 'ixml' else b''
if kind == 'rf64':
    ds64 = chunk(b'ds64', struct.pack('<QQQI', 0, audio, audio // 4, 0))
    head = ds64 + fmt + bext + b'data' + struct.pack('<I', 0xFFFFFFFF)
    size = 12 + len(head) + audio
    with open(path, 'wb') as f:
        f.write(b'RF64' + struct.pack('<I', 0xFFFFFFFF) + b'WAVE' + head)
        f.truncate(size)
        f.seek(20); f.write(struct.pack('<Q', size - 8))
    sys.exit(0)
body = fmt + bext + chunk(b'data', b'') [:4] + struct.pack('<I', audio)
with open(path, 'wb') as f:
    f.write(b'RIFF' + struct.pack('<I', 4 + len(body) + audio + len(tail)) + b'WAVE' + body)
    zeros = bytes(1 << 20)
    left = audio
    while left:
        n = min(left, len(zeros)); f.write(zeros[:n]); left -= n
    f.write(tail)
PY
make() { python3 "$work/make.py" "$@"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
median_ms() { tail -n +2 "$1" | cut -d, -f4 | awk '{ printf "%.1f\n", $1 * 1000 }'; }

echo "In place: a 4 GiB sparse RF64 file and a 4 MiB one" >&2
make rf64 "$work/big.rf64" $((4 << 30))
make rf64 "$work/small.rf64" $((4 << 20))
head -c 4096 "$work/big.rf64" >"$work/big.head"
head -c 4096 "$work/small.rf64" >"$work/small.head"
restore="dd if=$work/big.head of=$work/big.rf64 conv=notrunc status=none; dd if=$work/small.head of=$work/small.rf64 conv=notrunc status=none"
hyperfine -N --style none --runs $((runs * 8)) --warmup 2 --output null --prepare "sh -c '$restore'" \
    --export-csv "$work/inplace.csv" \
    "$sondrel --set bext.originator=Deck $work/big.rf64" \
    "$sondrel --set bext.originator=Deck $work/small.rf64" >/dev/null 2>&1
mapfile -t inplace < <(median_ms "$work/inplace.csv")

echo "--set-from over $files files, against flushed small writes" >&2
mkdir "$work/many"
make small "$work/template.wav" 1024
python3 - "$work/template.wav" "$work/many" "$files" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
for i in range(int(sys.argv[3])):
    open('%s/f%05d.wav' % (sys.argv[2], i), 'wb').write(data)
PY
cp -r "$work/many" "$work/pristine"
(cd "$work" && "$sondrel" --csv --recursive many >table.csv)
python3 - "$work/table.csv" <<'PY'
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1], newline='', encoding='utf-8')))
for i, r in enumerate(rows): r['bext.originator'] = 'Deck %d' % i
w = csv.DictWriter(open(sys.argv[1], 'w', newline='', encoding='utf-8'), rows[0].keys())
w.writeheader(); w.writerows(rows)
PY
# The bytes each file gets: the originator field, as one run writes it.
offset=$((12 + 24 + 8 + 256))
cat >"$work/pwrite.py" <<'PY'
import os, sys
for name in sorted(os.listdir(sys.argv[1])):
    fd = os.open(os.path.join(sys.argv[1], name), os.O_WRONLY)
    os.pwrite(fd, b'Deck 1234', int(sys.argv[2])); os.fsync(fd); os.close(fd)
PY
printf '%s\n' "for f in $work/many/*.wav; do" \
    "  printf 'Deck 1234' | dd of=\"\$f\" bs=9 seek=$offset oflag=seek_bytes,dsync conv=notrunc status=none" \
    "done" >"$work/dd.sh"
reset_many="rm -rf $work/many && cp -r $work/pristine $work/many && sync"
# The flushes of a shared disk vary from minute to minute: the two are timed
# in turn, MANY_RUNS rounds, and the medians compared; dd once.
seconds() { local s; s=$(date +%s.%N); "$@" >/dev/null 2>&1; awk -v a="$s" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f\n", (b - a) * 1000 }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
: >"$work/set_from.ms"
: >"$work/pwrite.ms"
for ((round = 0; round < many_runs; round++)); do
    sh -c "$reset_many"
    (cd "$work" && seconds "$sondrel" --set-from table.csv) >>"$work/set_from.ms"
    sh -c "$reset_many"
    seconds python3 "$work/pwrite.py" "$work/many" "$offset" >>"$work/pwrite.ms"
done
sh -c "$reset_many"
many=("$(median <"$work/set_from.ms")" "$(seconds bash "$work/dd.sh")" "$(median <"$work/pwrite.ms")")
sh -c "$reset_many"
exif_start=$(date +%s.%N)
exiftool -q -q -fast -Title -Originator -r "$work/many" >/dev/null || true
exif_ms=$(awk -v a="$exif_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", (b - a) * 1000 }')

echo "A rewrite of a ${size_mb} MB file against cp then sync" >&2
make ixml "$work/orig.wav" $((size_mb << 20))
printf '<BWFXML><PROJECT>new</PROJECT></BWFXML>\n' >"$work/doc.xml"
# A rewrite replaces the file, whose blocks are then freed: cp over an
# existing copy frees as many, cp to a new name none.
prepare="cp --reflink=never $work/orig.wav $work/take.wav && rm -f $work/copy.wav && sync"
over="$prepare && cp --reflink=never $work/orig.wav $work/old.wav && sync"
hyperfine -N --style none --runs "$runs" --output null --export-csv "$work/rewrite.csv" \
    --prepare "sh -c '$prepare'" "$sondrel --set ixml=@$work/doc.xml $work/take.wav" \
    --prepare "sh -c '$prepare'" "sh -c 'cp $work/take.wav $work/copy.wav && sync'" \
    --prepare "sh -c '$over'" "sh -c 'cp $work/take.wav $work/old.wav && sync'" >/dev/null 2>&1
mapfile -t rewrite < <(median_ms "$work/rewrite.csv")
sh -c "$prepare"
"$sondrel" --set "ixml=@$work/doc.xml" "$work/take.wav" | grep -q '"method":"rewrite"' ||
    echo "the edit was not a rewrite" >&2

row() { printf '| %-58s | %9s | %6s | %7s |\n' "$@"; }
printf '\nmedians of %s runs (in place: %s, many files: %s), ms\n\n' "$runs" $((runs * 8)) "$many_runs"
row what ms ratio target
row --- ---: ---: ---
row "--set in place, 4 MiB RF64" "${inplace[1]}" 1.00 ""
row "--set in place, 4 GiB sparse RF64" "${inplace[0]}" "$(ratio "${inplace[0]}" "${inplace[1]}")" "~1"
row "$files flushed 9-byte writes, one process" "${many[2]}" 1.00 ""
row "$files flushed 9-byte writes, a dd oflag=dsync each" "${many[1]}" \
    "$(ratio "${many[1]}" "${many[2]}")" ""
row "--set-from, $files files, one field changed in each" "${many[0]}" \
    "$(ratio "${many[0]}" "${many[2]}")" "<= 1.5"
row "exiftool reading the $files files once" "$exif_ms" "$(ratio "$exif_ms" "${many[2]}")" ""
row "cp to a new file then sync, ${size_mb} MB" "${rewrite[1]}" 1.00 ""
row "cp over an existing file then sync, ${size_mb} MB" "${rewrite[2]}" \
    "$(ratio "${rewrite[2]}" "${rewrite[1]}")" ""
row "--set rewrite (iXML replaced), ${size_mb} MB" "${rewrite[0]}" \
    "$(ratio "${rewrite[0]}" "${rewrite[1]}")" "<= 1.1"
