#!/usr/bin/env bash
# Runs the recipes that doc/recipes.md and the man page give, exactly as written,
# on the bundled example file, and checks what they produce.
# Usage: recipes.sh SONDREL EXAMPLE_WAV SOURCE_DIR RECIPE
#   RECIPE: play | encode | mono | batch | fields | json_rate | json_stored_loudness |
#           json_errors | json_csv | json_parallel | json_md5 | json_loudness | json_archive |
#           repair | json_across | embed | set_from | json_signal | json_nightly |
#           documented
set -uo pipefail
# shellcheck source=tests/support/script_lib.sh
. "$(dirname "$0")/../support/script_lib.sh"

sondrel=$(realpath "$1")
example=$(realpath "$2")
source_dir=$(realpath "$3")
which_recipe=$4

# The recipes as the documents print them (lines joined at a trailing "\").
RECIPES=(
    "sondrel --data take.wav | aplay -t raw -f S24_LE -r 48000 -c 2"
    "sondrel --data take.wav | ffmpeg -f s24le -ar 48000 -ac 2 -i - take.flac"
    "sondrel --data --mono take.wav | sox -t raw -e signed -b 16 -r 48000 -c 1 - -r 16000 take16k.wav"
    "find recordings -iname '*.wav' -print0 | xargs -0 -n 1 -P 4 sh -c 'sondrel --fmt --bext \"\$1\" > \"\$1.txt\" 2>/dev/null || echo \"\$1\"' sh"
    "find recordings -iname '*.wav.txt' -exec awk '\$1 == \"fmt.SamplesPerSec\" && \$3 != 48000 { print FILENAME }' {} +"
    "sondrel --fmt take.wav 2>/dev/null | awk '\$1 == \"fmt.SamplesPerSec\" { print \$3 }'"
    "sondrel --bext take.wav 2>/dev/null | grep '^bext\\.Originator ' | cut -c 29-"
    "sondrel --json *.wav | jq -r 'select(.format.sample_rate != 48000) | .path'"
    "sondrel --json *.wav | jq -r 'select(.bext.loudness.integrated_lufs > -23 and all(.findings[]; .code != \"bext-loudness-zero\")) | .path'"
    "sondrel --json *.wav | jq -r 'select(.status == \"error\" or any(.findings[]; .severity == \"error\")) | .path'"
    "sondrel --json *.wav | jq -r '[.path, .format.sample_rate, .format.channels, .audio.seconds] | @csv'"
    "find archive -iname '*.wav' -print0 | parallel -0 -X --sshloginfile hosts.txt --workdir . sondrel --json > all.jsonl"
    "parallel -j 2 -X sondrel --json ::: *.wav > all.jsonl"
    "sondrel --json --md5 *.wav | jq -r 'select(any(.findings[]; .code == \"md5-mismatch\")) | .path'"
    "sondrel --json --loudness *.wav | jq -r 'select(any(.findings[]; .code == \"loudness-mismatch\")) | .path'"
    "sondrel --json --recursive archive | jq -n 'reduce (inputs | .findings | map(.code) | unique[]) as \$c ({}; .[\$c] += 1)'"
    "find recordings -maxdepth 1 -iname '*.wav' -exec sh -c 'for f; do sondrel --repair \"\$f\" \"repaired/\${f##*/}\"; done' sh {} + | jq -r 'select(.status == \"repaired\") | .path as \$p | .dropped[] | [\$p, .offset, .bytes, .what] | @tsv'"
    "find recordings -iname '*.wav' -exec sondrel --json {} + | jq -r '.path as \$p | .findings[] | select(.code | IN(\"ds64-not-first\", \"fact-count-mismatch\", \"not-extensible\", \"cue-beyond-audio\", \"cue-label-orphan\", \"bext-reserved-not-zero\", \"bext-loudness-zero\", \"time-reference-mismatch\", \"ixml-format-mismatch\", \"coding-history-mismatch\")) | [.code, \$p] | @tsv' | sort -u"
    "find archive -type f -iname '*.wav' -print0 | xargs -0 sondrel --embed --md5 --loudness | jq -r 'select(.status == \"refused\" or .status == \"error\") | [.path, .reason] | @tsv'"
    "sondrel --json --md5 --loudness --recursive archive | jq -r 'select(any(.findings[]; .code == \"md5-mismatch\" or .code == \"loudness-mismatch\")) | .path'"
    "sondrel --csv --recursive recordings > catalogue.csv"
    "sondrel --set-from catalogue.csv --dry-run | jq -r 'select(.status == \"planned\") | [.path, .method, (.changes | map(.key) | join(\" \"))] | @tsv'"
    "sondrel --set-from catalogue.csv | jq -r 'select(.status == \"refused\" or .status == \"error\") | [.path, .reason] | @tsv'"
    "sondrel --json --recursive recordings | jq -r '[.path, .info.INAM] | @tsv'"
    "sondrel --json --signal --recursive recordings | jq -r 'select(any(.findings[]; .code == \"channel-silent\" or .code == \"clipping\")) | [.path, (.signal.silent_channels | join(\",\")), (.signal.clipped_samples | to_entries | map(select(.value > 0) | \"\\(.key):\\(.value)\") | join(\",\"))] | @tsv'"
    "sondrel --json --md5 --loudness --recursive --html \"reports/\$(date +%F).html\" archive > \"reports/\$(date +%F).jsonl\""
    "sondrel --html errors.html --records <(jq -c 'select(any(.findings[]; .severity == \"error\"))' reports/*.jsonl)"
)
PLAY=${RECIPES[0]}
ENCODE=${RECIPES[1]}
MONO=${RECIPES[2]}
BATCH=${RECIPES[3]}
NOT48K=${RECIPES[4]}
RATE=${RECIPES[5]}
ORIGINATOR=${RECIPES[6]}
JSON_RATE=${RECIPES[7]}
JSON_STORED_LOUDNESS=${RECIPES[8]}
JSON_ERRORS=${RECIPES[9]}
JSON_CSV=${RECIPES[10]}
JSON_HOSTS=${RECIPES[11]}
JSON_JOBS=${RECIPES[12]}
JSON_MD5=${RECIPES[13]}
JSON_LOUDNESS=${RECIPES[14]}
JSON_ARCHIVE=${RECIPES[15]}
REPAIR=${RECIPES[16]}
JSON_ACROSS=${RECIPES[17]}
EMBED=${RECIPES[18]}
VERIFY=${RECIPES[19]}
EXPORT=${RECIPES[20]}
SET_DRY=${RECIPES[21]}
SET_APPLY=${RECIPES[22]}
SET_VERIFY=${RECIPES[23]}
DEAD_OR_CLIPPED=${RECIPES[24]}
NIGHTLY=${RECIPES[25]}
NIGHTLY_ERRORS=${RECIPES[26]}

make_scratch
cd "$SCRATCH" || exit 1
mkdir bin
ln -s "$sondrel" bin/sondrel
export PATH="$SCRATCH/bin:$PATH"
cp "$example" take.wav

# Runs a recipe's text with bash; a failure anywhere in its pipeline counts.
run_recipe()
{
    bash -o pipefail -c "$1"
}

have() { command -v "$1" >/dev/null 2>&1; }

# The example is 24-bit stereo at 48 kHz, which the recipes' peer-tool
# arguments assume.
check_example_format()
{
    local fmt
    fmt=$(sondrel --fmt take.wav 2>/dev/null)
    local field expected
    for field in SamplesPerSec=48000 NChannels=2 BitsPerSample=24; do
        expected=${field#*=}
        field=fmt.${field%=*}
        expect_eq "example $field" "$expected" "$(awk -v k="$field" '$1 == k { print $3 }' <<<"$fmt")"
    done
}

recipe_play()
{
    have aplay || skip "aplay is not installed (Debian package alsa-utils)"
    check_example_format
    # ALSA's default device becomes a file, so the recipe runs as written
    # on a machine without a sound card and the played bytes can be checked.
    mkdir home
    cat >home/.asoundrc <<ASOUND
pcm.!default {
  type file
  slave.pcm "null"
  file "$SCRATCH/played.raw"
  format "raw"
}
ASOUND
    HOME="$SCRATCH/home" run_recipe "$PLAY" 2>play.err || fail "play recipe failed: $(cat play.err)"
    grep -q "Signed 24 bit Little Endian, Rate 48000 Hz, Stereo" play.err ||
        fail "aplay did not play 24-bit stereo at 48 kHz: $(cat play.err)"
    sondrel --data take.wav >audio.raw 2>/dev/null
    local size
    size=$(stat -c %s audio.raw)
    [ "$size" -gt 0 ] || fail "no audio streamed"
    # aplay fills its last period with silence.
    cmp -s -n "$size" audio.raw played.raw || fail "the played audio differs from the stream"
    [ "$(tail -c +"$((size + 1))" played.raw | tr -d '\0' | wc -c)" -eq 0 ] ||
        fail "aplay played more than the audio and its closing silence"
}

recipe_encode()
{
    have ffmpeg || skip "ffmpeg is not installed (Debian package ffmpeg)"
    check_example_format
    run_recipe "$ENCODE" </dev/null 2>encode.err || fail "encode recipe failed: $(tail -5 encode.err)"
    [ -s take.flac ] || fail "no take.flac written"
    local stream decoded independent
    stream=$(sondrel --data take.wav 2>/dev/null | md5sum)
    decoded=$(ffmpeg -nostdin -v error -i take.flac -f s24le - | md5sum)
    independent=$(ffmpeg -nostdin -v error -i take.wav -f s24le - | md5sum)
    expect_eq "audio decoded from the FLAC file" "$stream" "$decoded"
    expect_eq "the stream, against ffmpeg reading the WAVE file itself" "$independent" "$stream"
}

recipe_mono()
{
    have sox || skip "sox is not installed (Debian package sox)"
    check_example_format
    run_recipe "$MONO" 2>mono.err || fail "mono recipe failed: $(cat mono.err)"
    [ -s take16k.wav ] || fail "no take16k.wav written"
    expect_eq "speech file rate" 16000 "$(soxi -r take16k.wav)"
    expect_eq "speech file channels" 1 "$(soxi -c take16k.wav)"
    expect_eq "speech file bits" 16 "$(soxi -b take16k.wav)"
    # One frame of mono per stereo frame: the same duration as the original.
    expect_eq "speech file duration" "$(soxi -D take.wav)" "$(soxi -D take16k.wav)"
}

# Writes 32-bit little-endian VALUE at byte OFFSET of FILE.
poke32()
{
    printf '%b' "$(printf '\\x%02x' $(($2 & 255)) $(($2 >> 8 & 255)) \
        $(($2 >> 16 & 255)) $(($2 >> 24 & 255)))" |
        dd of="$1" bs=1 seek="$3" conv=notrunc status=none
}

recipe_batch()
{
    mkdir -p recordings/day1 "recordings/day 2" recordings/day3/cards
    local i
    for i in $(seq 1 120); do
        cp take.wav "recordings/day1/take$i.wav"
        cp take.wav "recordings/day3/cards/t$i.wav"
    done
    cp take.wav "recordings/day 2/scene 4 take 1.wav"
    cp take.wav recordings/day1/CARD0001.WAV
    cp take.wav "recordings/day 2/it's \"quoted\".wav"
    # A 44.1 kHz file: sample rate at byte 24 and bytes per second at 28.
    cp take.wav "recordings/day 2/cd rate.wav"
    poke32 "recordings/day 2/cd rate.wav" 44100 24
    poke32 "recordings/day 2/cd rate.wav" 264600 28
    echo "not audio" >recordings/day1/notes.wav
    : >recordings/day3/empty.wav
    head -c 10 take.wav >"recordings/day 2/cut short.wav"

    local printed
    printed=$(run_recipe "$BATCH" | sort) || fail "batch recipe failed"
    expect_eq "files named as unreadable" \
        "$(printf '%s\n' "recordings/day 2/cut short.wav" recordings/day1/notes.wav \
            recordings/day3/empty.wav | sort)" "$printed"

    local reports
    reports=$(find recordings -iname '*.wav.txt' -size +0 | wc -l)
    expect_eq "reports written" 244 "$reports"
    expect_eq "a report beside a name with blanks and quotes" 44100 \
        "$(awk '$1 == "fmt.SamplesPerSec" { print $3 }' "recordings/day 2/cd rate.wav.txt")"
    grep -q '^bext.Originator ' "recordings/day 2/it's \"quoted\".wav.txt" ||
        fail "the report of a quoted name lacks its bext lines"

    printed=$(run_recipe "$NOT48K") || fail "the recipe listing other rates failed"
    expect_eq "files not at 48 kHz" "recordings/day 2/cd rate.wav.txt" "$printed"
}

recipe_fields()
{
    # Facts the example generator (tools/make_example.cpp) writes.
    expect_eq "sample rate read with awk" 48000 "$(run_recipe "$RATE")"
    expect_eq "originator read with cut" "Field Recorder FR-2" "$(run_recipe "$ORIGINATOR")"
}

# ---------------------------------------------------------------------------
# The inspector's recipes (sondrel --json) run on folders built here: copies
# of the real files in tests/data, whose facts.json says what each holds, and
# files made from the example, some of them altered. Each test derives the
# expected answer from those facts or from how it built the files.

data_dir=$source_dir/tests/data
facts=$data_dir/facts.json

need_jq()
{
    have jq || skip "jq is not installed (Debian package jq)"
}

# Writes 16-bit little-endian VALUE (negative allowed) at byte OFFSET of FILE.
poke16()
{
    local value=$(($2 & 0xFFFF))
    printf '%b' "$(printf '\\x%02x' $((value & 255)) $((value >> 8)))" |
        dd of="$1" bs=1 seek="$3" conv=notrunc status=none
}

# Prints the little-endian 32-bit value VALUE as 4 bytes.
le32()
{
    printf '%b' "$(printf '\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) \
        $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}

# Prints the offset of the body of chunk ID in FILE, from the text mode's
# chunk list (sizes as stored, each body followed by a pad byte when odd).
body_offset()
{
    sondrel --chunks "$1" 2>/dev/null | awk -v id="$2" -v start=12 '
        {
            size = $(NF - 1)
            this = substr($0, 8, 4)
            if (this == id) { print start + 8; exit }
            start += 8 + size + size % 2
        }'
}

# Appends chunk ID with the bytes HEX (two digits each) to FILE, a pad byte
# when odd, and corrects the RIFF size (in ds64 for RF64 and BW64).
append_chunk()
{
    local file=$1 id=$2 hex=$3
    local size=$((${#hex} / 2))
    {
        printf '%s' "$id"
        le32 "$size"
        # shellcheck disable=SC2001 # every pair of digits, not one pattern
        printf '%b' "$(sed 's/../\\x&/g' <<<"$hex")"
        [ $((size % 2)) -eq 0 ] || printf '\0'
    } >>"$file"
    local length
    length=$(stat -c %s "$file")
    case $(head -c 4 "$file") in
    RIFF) poke32 "$file" $((length - 8)) 4 ;;
    RF64 | BW64) poke32 "$file" $((length - 8)) 20 ;;
    esac
}

# Makes FILE a version VERSION bext file with the five stored loudness values
# (hundredths: integrated, range, true peak, max momentary, max short-term).
set_bext_loudness()
{
    local file=$1 version=$2 bext at value
    shift 2
    bext=$(body_offset "$file" bext)
    poke16 "$file" "$version" $((bext + 346))
    at=$((bext + 412))
    for value in "$@"; do
        poke16 "$file" "$value" "$at"
        at=$((at + 2))
    done
}

# Prints the names of the files of tests/data (those present) that the jq
# FILTER selects from facts.json's entries.
facts_files()
{
    local name
    jq -r ".files[] | select($1) | .file" "$facts" | while IFS= read -r name; do
        [ -e "$data_dir/$name" ] && printf '%s\n' "$name"
    done
}

# Runs a recipe in FOLDER; prints its output sorted; its status is the recipe's.
run_in()
{
    local folder=$1 recipe=$2 out status
    out=$(cd "$folder" && run_recipe "$recipe")
    status=$?
    [ -n "$out" ] && sort <<<"$out"
    return "$status"
}

# The folder most recipes run on: tests/data, the example, and damaged or
# odd files; names with blanks, quotes and a comma.
OTHER_RATE="cd rate.wav"
HIGH_RATE="high rate.wav"
CUT_SHORT="cut short.wav"
NOT_AUDIO="notes.wav"
EMPTY="empty.wav"
FOLDER="folder.wav"
QUOTED='scene 4, take "1".wav'
make_folder()
{
    local folder=$1
    mkdir -p "$folder"
    cp "$data_dir"/*.wav "$folder"/
    cp take.wav "$folder/take.wav"
    cp take.wav "$folder/$QUOTED"
    # Sample rate at byte 24, bytes per second at 28.
    cp take.wav "$folder/$OTHER_RATE"
    poke32 "$folder/$OTHER_RATE" 44100 24
    poke32 "$folder/$OTHER_RATE" 264600 28
    cp take.wav "$folder/$HIGH_RATE"
    poke32 "$folder/$HIGH_RATE" 96000 24
    poke32 "$folder/$HIGH_RATE" 576000 28
    head -c 100000 take.wav >"$folder/$CUT_SHORT"
    echo "not audio" >"$folder/$NOT_AUDIO"
    : >"$folder/$EMPTY"
    mkdir "$folder/$FOLDER"
}

recipe_json_rate()
{
    need_jq
    make_folder files
    local expected
    # Files that could not be read have no format, so they are listed too.
    expected=$(
        facts_files '.walker.fmt[0].sample_rate != 48000'
        printf '%s\n' "$OTHER_RATE" "$HIGH_RATE" "$NOT_AUDIO" "$EMPTY" "$FOLDER"
    )
    expect_eq "files not at 48 kHz" "$(sort <<<"$expected")" "$(run_in files "$JSON_RATE")"
}

recipe_json_stored_loudness()
{
    need_jq
    make_folder files
    # name, bext version, stored integrated loudness (hundredths), listed
    local cases=(
        "stored -10.wav|2|-1000|yes"
        "stored -22.99.wav|2|-2299|yes"
        "stored -23.wav|2|-2300|no"
        "stored -40.wav|2|-4000|no"
        "stored unset.wav|2|32767|no"
        "version 1.wav|1|-1000|no"
        "never measured.wav|2|0|no|0 0 0 0"
    )
    local expected="" line name version value listed others
    for line in "${cases[@]}"; do
        IFS='|' read -r name version value listed others <<<"$line"
        cp take.wav "files/$name"
        # shellcheck disable=SC2086 # the four other values, split
        set_bext_loudness "files/$name" "$version" "$value" ${others:-0 -100 -1800 -2000}
        [ "$listed" = yes ] && expected+="$name"$'\n'
    done
    # The files of tests/data, read from their bytes: version 2 or later and
    # a set integrated loudness above -23.00.
    local file bext all
    while IFS= read -r file; do
        bext=$(body_offset "$data_dir/$file" bext)
        [ -n "$bext" ] || continue
        version=$(od -An -tu2 --endian=little -j $((bext + 346)) -N 2 "$data_dir/$file" | tr -d ' ')
        value=$(od -An -td2 --endian=little -j $((bext + 412)) -N 2 "$data_dir/$file" | tr -d ' ')
        all=$(od -An -tx1 -j $((bext + 412)) -N 10 "$data_dir/$file" | tr -d ' 0\n')
        if [ "$version" -ge 2 ] && [ "$value" -ne 32767 ] && [ "$value" -gt -2300 ] &&
            [ -n "$all" ]; then
            expected+="$file"$'\n'
        fi
    done < <(facts_files 'any(.walker.chunks[]; .id == "bext")')
    expected=$(printf '%s' "$expected" | sort)
    expect_eq "files whose stored loudness is above -23 LUFS" "$expected" \
        "$(run_in files "$JSON_STORED_LOUDNESS")"
}

recipe_json_errors()
{
    need_jq
    make_folder files
    local expected printed status
    # A data chunk cut short by the end of the file, except the plain-RIFF
    # size 0xFFFFFFFF of an unfinalised recording (only a warning).
    expected=$(
        facts_files 'any(.walker.chunks[]; .body_truncated_by and
            (.id != "data" or .size_field != 4294967295 or .size_from_ds64 != null))'
        printf '%s\n' "$CUT_SHORT" "$NOT_AUDIO" "$EMPTY" "$FOLDER"
    )
    printed=$(run_in files "$JSON_ERRORS")
    status=$?
    expect_eq "files that could not be inspected or have an error finding" \
        "$(sort <<<"$expected")" "$printed"
    [ "$status" -ne 0 ] || fail "the recipe's status is 0 although files are damaged"
    # Without the damaged files: nothing listed, and status 0.
    mkdir sound
    local name
    while IFS= read -r name; do
        grep -qxF -- "$name" <<<"$expected" || cp "files/$name" sound/
    done < <(cd files && find . -maxdepth 1 -type f -name '*.wav' -printf '%P\n')
    printed=$(run_in sound "$JSON_ERRORS")
    status=$?
    expect_eq "sound files listed" "" "$printed"
    expect_eq "the recipe's status on sound files" 0 "$status"
}

recipe_json_csv()
{
    need_jq
    mkdir files
    # rows expected: path|rate|channels|seconds; PCM only, where frames are
    # bytes / block align.
    local expected="" name
    while IFS= read -r name; do
        cp "$data_dir/$name" files/
        expected+=$(jq -r --arg f "$name" '.files[] | select(.file == $f) |
            [.file, .walker.fmt[0].sample_rate, .walker.fmt[0].channels,
             ((.payload.walker_data_slice.bytes / .walker.fmt[0].block_align | floor)
              / .walker.fmt[0].sample_rate)] | map(tostring) | join("|")' "$facts")$'\n'
    done < <(facts_files '.walker.fmt[0].format_tag == "0x0001"')
    # The example, under a name that needs CSV quoting: rate and channels
    # from the text report, one second of audio.
    cp take.wav "files/$QUOTED"
    local rate channels
    rate=$(sondrel --fmt take.wav 2>/dev/null | awk '$1 == "fmt.SamplesPerSec" { print $3 }')
    channels=$(sondrel --fmt take.wav 2>/dev/null | awk '$1 == "fmt.NChannels" { print $3 }')
    expected+="$QUOTED|$rate|$channels|1"$'\n'
    echo "not audio" >"files/$NOT_AUDIO"
    expected+="$NOT_AUDIO|||"$'\n'

    local printed rows
    printed=$(cd files && run_recipe "$JSON_CSV")
    # A row is "path",rate,channels,seconds; inside the quoted path a quote
    # is doubled.
    rows=$(awk -F, '{
        n = split($0, field, ",")
        path = $0
        sub(/,[^,]*,[^,]*,[^,]*$/, "", path)
        if (path !~ /^".*"$/) { print "UNQUOTED " $0; next }
        path = substr(path, 2, length(path) - 2)
        gsub(/""/, "\"", path)
        print path "|" field[n - 2] "|" field[n - 1] "|" field[n]
    }' <<<"$printed" | sort)
    expected=$(printf '%s' "$expected" | sort)
    expect_eq "CSV paths" "$(cut -d'|' -f1 <<<"$expected")" "$(cut -d'|' -f1 <<<"$rows")"
    expect_eq "CSV rates and channels" "$(cut -d'|' -f1-3 <<<"$expected")" \
        "$(cut -d'|' -f1-3 <<<"$rows")"
    # Seconds are compared as numbers: formatting differs between jq versions.
    local mismatch
    mismatch=$(join -t'|' -j1 <(cut -d'|' -f1,4 <<<"$expected") <(cut -d'|' -f1,4 <<<"$rows") |
        awk -F'|' '($2 == "") != ($3 == "") || ($2 != "" && ($2 - $3 > 1e-9 || $3 - $2 > 1e-9))')
    expect_eq "CSV seconds that differ from bytes / block align / rate" "" "$mismatch"
}

# Checks that ALL.JSONL, merged from several runs, holds exactly one record
# per path of PATHS (one a line), each as a single run writes it.
check_merged()
{
    local what=$1 folder=$2 paths=$3
    local merged=$folder/all.jsonl
    [ -s "$merged" ] || {
        fail "$what: nothing written"
        return
    }
    jq -c . "$merged" >/dev/null 2>&1 || fail "$what: a line of the merged file does not parse"
    expect_eq "$what: records" "$(wc -l <<<"$paths")" "$(wc -l <"$merged")"
    expect_eq "$what: paths" "$(sort <<<"$paths")" "$(jq -r .path "$merged" | sort)"
    # Each record as one run over all the files writes it.
    local -a names
    mapfile -t names <<<"$paths"
    local differ
    differ=$(diff <(cd "$folder" && sondrel --json "${names[@]}" | jq -c . | sort) \
        <(jq -c . "$merged" | sort) | grep '^[<>]' | cut -c 1-200 | head -4)
    expect_eq "$what: records that differ from a single run's" "" "$differ"
}

recipe_json_parallel()
{
    need_jq
    have parallel || skip "GNU parallel is not installed (Debian package parallel)"
    # GNU parallel's citation notice is acknowledged once per user.
    mkdir -p home/.parallel
    touch home/.parallel/will-cite
    export HOME=$SCRATCH/home
    # Each run of the program is logged, to see the work spread over jobs.
    rm bin/sondrel
    cat >bin/sondrel <<WRAPPER
#!/bin/sh
echo "\$\$" >>"$SCRATCH/runs.log"
exec "$sondrel" "\$@"
WRAPPER
    chmod +x bin/sondrel

    # ":" is GNU parallel's name for this computer: two jobs here.
    mkdir -p work/archive/day1 "work/archive/day 2"
    echo "2/:" >work/hosts.txt
    local i
    for i in $(seq 1 40); do
        cp take.wav "work/archive/day1/take $i.wav"
    done
    cp "$data_dir"/*.wav "work/archive/day 2/"
    cp take.wav "work/archive/day1/TAKE 41.WAV"
    cp take.wav "work/archive/day 2/$QUOTED"
    echo "not audio" >"work/archive/day 2/$NOT_AUDIO"
    : >runs.log
    (cd work && run_recipe "$JSON_HOSTS") 2>hosts.err
    [ -s hosts.err ] && fail "the hosts recipe wrote to standard error: $(head -3 hosts.err)"
    [ "$(sort -u runs.log | wc -l)" -ge 2 ] || fail "over hosts: the files went to a single run"
    check_merged "over hosts" work "$(cd work && find archive -iname '*.wav')"

    mkdir flat
    cp work/archive/day1/*.wav "work/archive/day 2/"*.wav flat/
    : >runs.log
    (cd flat && run_recipe "$JSON_JOBS") 2>jobs.err
    [ -s jobs.err ] && fail "the two-job recipe wrote to standard error: $(head -3 jobs.err)"
    [ "$(sort -u runs.log | wc -l)" -ge 2 ] || fail "two jobs: the files went to a single run"
    check_merged "two jobs" flat "$(cd flat && printf '%s\n' *.wav)"
}

recipe_json_md5()
{
    need_jq
    mkdir files sound
    # The audio bytes' MD5: the example's from its text-mode stream, those of
    # tests/data from facts.json.
    local take
    take=$(sondrel --data take.wav 2>/dev/null | md5sum | cut -c 1-32)
    payload() { jq -r --arg f "$1" '.files[] | select(.file == $f) | .payload.ffmpeg.md5' "$facts"; }
    # name, source, digest stored in its MD5 chunk ("" none), listed
    local cases=(
        "plain.wav|take.wav||no"
        "right.wav|take.wav|$take|no"
        "wrong.wav|take.wav|$(printf '%02x' $(((0x${take:0:2} + 1) % 256)))${take:2}|yes"
        "odd size.wav|$data_dir/ff_u8_mono_odd.wav|$(payload ff_u8_mono_odd.wav)|no"
        "rf64.wav|$data_dir/lsf_rf64_s24_mono_odd.wav|$(payload lsf_rf64_s24_mono_odd.wav)|no"
        "float.wav|$data_dir/ff_f32_stereo_ext.wav|$(payload ff_s16_stereo.wav)|yes"
        "short chunk.wav|take.wav|${take:0:30}|no"
    )
    local expected="" line name source digest listed
    for line in "${cases[@]}"; do
        IFS='|' read -r name source digest listed <<<"$line"
        cp "$source" "files/$name"
        [ -n "$digest" ] && append_chunk "files/$name" "MD5 " "$digest"
        if [ "$listed" = yes ]; then
            expected+="$name"$'\n'
        else
            cp "files/$name" sound/
        fi
    done
    local printed status
    printed=$(run_in files "$JSON_MD5")
    status=$?
    expect_eq "files whose MD5 does not match" "$(printf '%s' "$expected" | sort)" "$printed"
    expect_eq "the recipe's status with mismatches" 1 "$status"
    printed=$(run_in sound "$JSON_MD5")
    status=$?
    expect_eq "files listed when every MD5 matches" "" "$printed"
    expect_eq "the recipe's status when every MD5 matches" 0 "$status"
}

recipe_json_loudness()
{
    need_jq
    have ffmpeg || skip "ffmpeg is not installed (Debian package ffmpeg)"
    # An independent meter: ffmpeg's ebur128 filter, to a tenth.
    local summary integrated peak
    summary=$(ffmpeg -nostdin -hide_banner -i take.wav -af ebur128=peak=true -f null - 2>&1 |
        sed -n '/Summary:/,$p')
    integrated=$(awk '$1 == "I:" { print $2 }' <<<"$summary")
    peak=$(awk '$1 == "Peak:" { print $2 }' <<<"$summary")
    [[ $integrated =~ ^-?[0-9]+\.[0-9]$ && $peak =~ ^-?[0-9]+\.[0-9]$ ]] ||
        skip "could not read ffmpeg's loudness summary: $summary"
    # Hundredths of VALUE + OFFSET.
    at() { awk -v v="$1" -v d="$2" 'BEGIN { printf "%.0f", (v + d) * 100 }'; }
    local I=$integrated P=$peak
    # name, bext version, stored integrated / range / true peak / momentary /
    # short-term (hundredths), listed
    local cases=(
        "matching.wav|2|$(at "$I" 0)|0|$(at "$P" 0)|$(at "$I" 0)|32767|no"
        "near.wav|2|$(at "$I" 0.3)|0|$(at "$P" -0.3)|0|0|no"
        "integrated far.wav|2|$(at "$I" -0.8)|0|$(at "$P" 0)|0|0|yes"
        "integrated -10.wav|2|-1000|0|$(at "$P" 0)|0|0|yes"
        "peak far.wav|2|$(at "$I" 0)|0|$(at "$P" 0.8)|0|0|yes"
        "peak only.wav|2|32767|0|$(at "$P" 3)|0|0|yes"
        "all unset.wav|2|32767|32767|32767|32767|32767|no"
        "all zero.wav|2|0|0|0|0|0|no"
        "version 1.wav|1|-1000|0|300|0|0|no"
        "silence.wav|2|-2300|0|-100|0|0|no"
    )
    mkdir files
    local expected="" line name version v1 v2 v3 v4 v5 listed
    for line in "${cases[@]}"; do
        IFS='|' read -r name version v1 v2 v3 v4 v5 listed <<<"$line"
        cp take.wav "files/$name"
        set_bext_loudness "files/$name" "$version" "$v1" "$v2" "$v3" "$v4" "$v5"
        [ "$listed" = yes ] && expected+="$name"$'\n'
    done
    # Silence has no loudness and no true peak to compare.
    local data
    data=$(body_offset take.wav data)
    dd if=/dev/zero of="files/silence.wav" bs=1 seek="$data" count=$(($(stat -c %s take.wav) - data)) \
        conv=notrunc status=none
    # Audio that cannot be measured (MPEG) is not compared either.
    cp "$data_dir/ff_mp2_stereo.wav" files/
    expect_eq "files whose stored loudness disagrees with the audio" \
        "$(printf '%s' "$expected" | sort)" "$(run_in files "$JSON_LOUDNESS")"
}

recipe_json_archive()
{
    need_jq
    # Nested folders of the files in tests/data and altered copies of the
    # example, names in any case, hidden ones, and what the walk leaves out:
    # other names, links (one of them a loop) and empty folders.
    make_folder "archive/2025/day 1"
    mkdir -p archive/2026/.hidden archive/empty
    cp take.wav archive/2026/TAKE.WAV
    cp take.wav archive/2026/.hidden/.take.bwf
    cp "$data_dir/lsf_rf64_s24_mono_odd.wav" archive/2026/odd.RF64
    head -c 100000 take.wav >"archive/2026/cut short.wav"
    cp take.wav archive/2026/take.wav.txt
    ln -s ../../2026/TAKE.WAV "archive/2025/day 1/link.wav"
    ln -s ../2025 archive/2026/loop
    # Expected: the audio files that find lists (it lists no link and follows
    # none), each inspected alone, each of its codes counted once.
    local expected printed status
    expected=$(find archive -type f \( -iname '*.wav' -o -iname '*.bwf' -o -iname '*.rf64' \) \
        -print0 | xargs -0 -n 1 sondrel --json | jq -r '.findings | map(.code) | unique[]' |
        sort | uniq -c | awk '{ print $2, $1 }')
    [ "$(wc -l <<<"$expected")" -ge 5 ] || fail "too few finding codes to count: $expected"
    printed=$(run_recipe "$JSON_ARCHIVE")
    status=$?
    expect_eq "files per finding code" "$expected" \
        "$(jq -r 'to_entries[] | "\(.key) \(.value)"' <<<"$printed" | sort)"
    expect_eq "the recipe's status: error findings, every file read" 1 "$status"
}

# A night's check keeps its records and its page under the night's date;
# the page counts what the records hold, and a page of the errors alone
# comes from the saved records.
recipe_json_nightly()
{
    need_jq
    make_folder "archive/2026"
    mkdir reports
    local night status records
    night=$(date +%F)
    run_recipe "$NIGHTLY"
    status=$?
    expect_eq "the night's status: files with error findings" 1 "$status"
    records=reports/$night.jsonl
    expect_eq "records kept" "$(find archive -type f -name '*.wav' | wc -l)" "$(wc -l <"$records")"
    grep -q "data-key=\"files\" data-n=\"$(wc -l <"$records")\"" "reports/$night.html" ||
        fail "the night's page does not count its records"
    run_recipe "$NIGHTLY_ERRORS" || fail "the page of the errors failed"
    local errors
    errors=$(jq -c 'select(any(.findings[]; .severity == "error"))' "$records" | wc -l)
    [ "$errors" -gt 0 ] || fail "no file with errors to report"
    grep -q "data-key=\"errors\" data-n=\"$errors\"" errors.html ||
        fail "the page of the errors does not count $errors files with errors"
}

# A folder of recordings, some damaged, repaired into another folder: the
# ranges listed are those each damage leaves out, every copy is clean, and
# the intact file comes out byte for byte.
recipe_repair()
{
    need_jq
    mkdir recordings repaired
    local audio size
    audio=$(body_offset take.wav data)
    size=$(stat -c %s take.wav)
    cp take.wav recordings/intact.wav
    cp take.wav recordings/unfinalised.wav
    poke32 recordings/unfinalised.wav 0 4
    poke32 recordings/unfinalised.wav 0 $((audio - 4))
    # 1001 bytes of 6-byte frames: 166 whole frames and 5 bytes.
    head -c $((audio + 1001)) take.wav >recordings/cut.wav
    { cat take.wav && printf 'junk!'; } >recordings/junk.wav
    echo "not audio" >recordings/notes.wav
    local expected
    expected=$(printf 'recordings/cut.wav\t%s\t5\tpartial frame\nrecordings/junk.wav\t%s\t5\ttrailing bytes' \
        $((audio + 996)) "$size" | sort)
    expect_eq "ranges left out" "$expected" "$(run_in . "$REPAIR")"
    expect_eq "repaired files" "cut.wav intact.wav junk.wav unfinalised.wav" \
        "$(cd repaired && echo *)"
    cmp -s take.wav repaired/intact.wav || fail "the intact file was not copied byte for byte"
    cmp -s take.wav repaired/unfinalised.wav || fail "the unfinalised file was not finalised"
    local mended
    mended=$(sondrel --json repaired/*.wav | jq -r '.findings[] | select(.severity != "info") | .code')
    expect_eq "findings left in the repaired files" "" "$mended"
}

# Writes the bytes TEXT at byte OFFSET of FILE.
poke_text()
{
    printf '%s' "$2" | dd of="$1" bs=1 seek="$3" conv=notrunc status=none
}

recipe_json_across()
{
    need_jq
    # The real files' chunks agree but for PCM or float of more than 2
    # channels or 16 bits in the plain format, as their facts say; so is
    # the example (24-bit PCM), of which altered copies break one check each.
    mkdir -p recordings/real "recordings/day 2"
    cp "$data_dir"/*.wav recordings/real/
    local expected name
    expected=$(facts_files '(.walker.fmt[0].format_tag == "0x0001" or .walker.fmt[0].format_tag == "0x0003")
        and (.walker.fmt[0].channels > 2 or .walker.fmt[0].bits_per_sample > 16)' |
        sed 's|^|not-extensible\trecordings/real/|')$'\n'
    local copies=(take.wav "history.wav" "ixml rate.wav" "loudness zero.wav" "orphan text.wav"
        "cue past the end.wav" "CARD 7.WAV")
    for name in "${copies[@]}"; do
        cp take.wav "recordings/day 2/$name"
        expected+="not-extensible"$'\t'"recordings/day 2/$name"$'\n'
    done
    local history ixml
    history=$(grep -abo 'A=PCM,F=48000' take.wav | head -1 | cut -d: -f1)
    ixml=$(grep -abo '<FILE_SAMPLE_RATE>48000' take.wav | cut -d: -f1)
    if [ -z "$history" ] || [ -z "$ixml" ]; then
        fail "the example lacks the values altered here"
        return
    fi
    poke_text "recordings/day 2/history.wav" 44100 $((history + 8))
    expected+="coding-history-mismatch"$'\t'"recordings/day 2/history.wav"$'\n'
    poke_text "recordings/day 2/ixml rate.wav" 96000 $((ixml + 18))
    expected+="ixml-format-mismatch"$'\t'"recordings/day 2/ixml rate.wav"$'\n'
    set_bext_loudness "recordings/day 2/loudness zero.wav" 2 0 0 0 0 0
    expected+="bext-loudness-zero"$'\t'"recordings/day 2/loudness zero.wav"$'\n'
    # A label of cue id 9, and no cue chunk; a cue point at frame 48000 of 48000.
    append_chunk "recordings/day 2/orphan text.wav" LIST 6164746c6c61626c06000000090000007800
    expected+="cue-label-orphan"$'\t'"recordings/day 2/orphan text.wav"$'\n'
    append_chunk "recordings/day 2/cue past the end.wav" "cue " \
        01000000010000000000000064617461000000000000000080bb0000
    expected+="cue-beyond-audio"$'\t'"recordings/day 2/cue past the end.wav"$'\n'
    # sondrel's status is 1 for the cut file among the real ones: only the lines count.
    expect_eq "files whose chunks disagree, by check" "$(printf '%s' "$expected" | sort -u)" \
        "$(run_recipe "$JSON_ACROSS")"
}

# An archive tree embedded, then checked years later: the files left alone
# are those with an error finding, an unfinalised recording, audio whose
# loudness cannot be measured or differs from the stored values, or an
# empty data chunk last; a second run changes no byte; a byte of audio
# changed since is found.
recipe_embed()
{
    need_jq
    make_folder "archive/2026/day 1"
    cp take.wav archive/take.wav
    local expected printed before measured
    # Loudness another meter stored that differs is left alone, and stays a mismatch.
    measured=$(find archive -type f -iname '*.wav' -print0 | xargs -0 -n 1 sondrel --json --loudness |
        jq -r 'select(any(.findings[]; .code == "loudness-mismatch")) | .path' | sort)
    expected=$(find archive -type f -iname '*.wav' -print0 | xargs -0 -n 1 sondrel --json --loudness |
        jq -r 'select(.status == "error" or any(.findings[]; .severity == "error" or
            .code == "data-size-unset" or .code == "loudness-unmeasurable" or
            .code == "loudness-mismatch") or (.chunks[-1] | .id == "data" and .size == 0)) |
            .path' | sort)
    [ "$(wc -l <<<"$expected")" -ge 5 ] || fail "too few files to leave alone: $expected"
    printed=$(run_in . "$EMBED" | cut -f 1)
    expect_eq "files left alone" "$expected" "$printed"
    expect_eq "what was stored, checked" "$measured" "$(run_in . "$VERIFY" | sort)"
    before=$(find archive -type f -exec md5sum {} + | sort)
    expect_eq "files left alone the second time" "$expected" "$(run_in . "$EMBED" | cut -f 1)"
    expect_eq "files after a second run" "$before" "$(find archive -type f -exec md5sum {} + | sort)"
    local at byte
    at=$(($(body_offset archive/take.wav data) + 1000))
    byte=$(od -An -tu1 -j "$at" -N 1 archive/take.wav)
    printf '%b' "$(printf '\\x%02x' $(((byte + 1) % 256)))" |
        dd of=archive/take.wav bs=1 seek="$at" conv=notrunc status=none
    expect_eq "files whose audio changed since" "$({ [ -z "$measured" ] || echo "$measured"; echo archive/take.wav; } | sort)" \
        "$(run_in . "$VERIFY" | sort)"
}

# Export a folder, fill the title column as a spreadsheet would (Python's
# csv module), dry-run, apply, verify; the damaged files are left alone.
recipe_set_from()
{
    need_jq
    have python3 || skip "python3 is not installed"
    mkdir recordings
    cp take.wav recordings/take.wav
    cp take.wav "recordings/$QUOTED"
    head -c 100000 take.wav >"recordings/$CUT_SHORT"
    echo "not audio" >"recordings/$NOT_AUDIO"
    run_recipe "$EXPORT" # 1: damaged files are among them
    [ -s catalogue.csv ] || fail "the export wrote nothing"
    python3 -c "import csv
rows = list(csv.DictReader(open('catalogue.csv', newline='', encoding='utf-8-sig')))
for r in rows: r['info.INAM'] = 'Harbour, ' + r['path'].split('/')[-1]
w = csv.DictWriter(open('catalogue.csv', 'w', newline='', encoding='utf-8'), rows[0].keys())
w.writeheader(); w.writerows(rows)" || fail "the spreadsheet step failed"
    local before
    before=$(md5sum recordings/*)
    expect_eq "planned edits" "$(printf 'recordings/%s\tin-place\tinfo.INAM\n' "$QUOTED" take.wav | sort)" \
        "$(run_in . "$SET_DRY")"
    expect_eq "the dry run wrote nothing" "$before" "$(md5sum recordings/*)"
    expect_eq "files left alone" "recordings/$CUT_SHORT recordings/$NOT_AUDIO" \
        "$(run_in . "$SET_APPLY" | cut -f 1 | tr '\n' ' ' | sed 's/ $//')"
    local titles
    titles=$(printf 'recordings/%s\t%s\n' "$CUT_SHORT" "" "$NOT_AUDIO" "" \
        "$QUOTED" "Harbour, $QUOTED" take.wav "Harbour, take.wav" | sort)
    expect_eq "titles" "$titles" "$(run_in . "$SET_VERIFY")"
}

# A tree of files made by sox with a dead channel or clipping among the real
# ones, none of which has either (sox's stats: no flat tops, no channel
# without a peak): each listed with its dead channels and clipped samples.
recipe_json_signal()
{
    need_jq
    have sox || skip "sox is not installed (Debian package sox)"
    mkdir -p recordings/real "recordings/day 2"
    cp "$data_dir"/*.wav take.wav recordings/real/
    # No dither: a square wave 1 dB past full scale is at an extreme in every sample.
    sox -D -n -r 48000 -c 2 -b 24 "recordings/day 2/square.wav" synth 1 square 100 gain 1 2>/dev/null
    sox -D -n -r 48000 -c 2 -b 16 "recordings/day 2/dead right.wav" synth 1 sine 440 vol 0.5 remix 1 0
    sox -D -n -r 8000 -c 3 -b 16 recordings/dead.wav synth 1 sine 440 vol 0.5 remix 0 1 0
    local expected
    expected=$(printf '%s\t%s\t%s\n' "recordings/day 2/dead right.wav" 1 "" \
        "recordings/day 2/square.wav" "" "0:48000,1:48000" recordings/dead.wav 0,2 "")
    expect_eq "files with a dead channel or clipping" "$expected" "$(run_recipe "$DEAD_OR_CLIPPED")"
}

# Joins continuation lines and squeezes blanks, so a recipe can be compared
# however a document breaks it.
normalise()
{
    sed -e ':a' -e '/\\$/{N;s/\\\n[[:space:]]*/ /;ba' -e '}' |
        sed -e 's/^[[:space:]]*//' -e 's/[[:space:]][[:space:]]*/ /g' -e 's/[[:space:]]*$//'
}

# Checks that the commands of a document's recipe section are exactly the
# recipes run here. $2 names the document; stdin holds the section.
check_recipe_section()
{
    local document=$1 commands recipe
    commands=$(normalise | grep -E '^(sondrel|find|parallel) ')
    if [ -z "$commands" ]; then
        fail "$document: no recipes found"
        return
    fi
    for recipe in "${RECIPES[@]}"; do
        grep -qxF -- "$recipe" <<<"$commands" || fail "$document lacks the recipe: $recipe"
    done
    while IFS= read -r command; do
        local known=0
        for recipe in "${RECIPES[@]}"; do
            [ "$command" = "$recipe" ] && known=1
        done
        [ "$known" -eq 1 ] || fail "$document has a recipe no test runs: $command"
    done <<<"$commands"
}

recipe_documented()
{
    have groff || skip "groff is not installed (Debian package groff-base)"
    groff -man -Tascii -P-cbou "$source_dir/doc/sondrel.1" 2>/dev/null |
        sed -n '/^EXAMPLES$/,/^SEE ALSO$/p' >man-examples.txt
    check_recipe_section "the man page's EXAMPLES" <man-examples.txt
    # doc/recipes.md: its code blocks.
    awk '/^```/ { inside = !inside; next } inside' "$source_dir/doc/recipes.md" >doc-recipes.txt
    check_recipe_section "doc/recipes.md" <doc-recipes.txt
}

case $which_recipe in
play) recipe_play ;;
encode) recipe_encode ;;
mono) recipe_mono ;;
batch) recipe_batch ;;
fields) recipe_fields ;;
json_rate) recipe_json_rate ;;
json_stored_loudness) recipe_json_stored_loudness ;;
json_errors) recipe_json_errors ;;
json_csv) recipe_json_csv ;;
json_parallel) recipe_json_parallel ;;
json_md5) recipe_json_md5 ;;
json_loudness) recipe_json_loudness ;;
json_archive) recipe_json_archive ;;
repair) recipe_repair ;;
json_across) recipe_json_across ;;
embed) recipe_embed ;;
set_from) recipe_set_from ;;
json_signal) recipe_json_signal ;;
json_nightly) recipe_json_nightly ;;
documented) recipe_documented ;;
*)
    echo "unknown recipe '$which_recipe'" >&2
    exit 2
    ;;
esac
finish
