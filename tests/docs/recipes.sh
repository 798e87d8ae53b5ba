#!/usr/bin/env bash
# Runs the recipes that doc/recipes.md and the man page give, exactly as written,
# on the bundled example file, and checks what they produce.
# Usage: recipes.sh SONDREL EXAMPLE_WAV SOURCE_DIR RECIPE
#   RECIPE: play | encode | mono | batch | fields | json_rate | json_stored_loudness |
#           json_errors | json_csv | json_parallel | json_md5 | json_loudness | json_archive |
#           repair | json_across | embed | set_from | json_signal | json_nightly |
#           documented
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/script_lib.sh
. "$here/../support/script_lib.sh"

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

# The inspector's recipes on folders built here, then the runs over many
# files, the nightly check and the writers' recipes.
# shellcheck source=tests/docs/recipes_json.sh
. "$here/recipes_json.sh"
# shellcheck source=tests/docs/recipes_archive.sh
. "$here/recipes_archive.sh"

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
