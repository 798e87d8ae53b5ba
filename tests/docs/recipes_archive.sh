# Sourced by recipes.sh after recipes_json.sh, whose folders and helpers it
# uses: the recipes that run over many files (parallel runs, measurements,
# the nightly check) and the writers' (repair, embed, set-from).

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
