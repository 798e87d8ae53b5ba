# Sourced by recipes.sh, whose variables (the recipes by name) and helpers
# (run_recipe, have, expect_eq) it uses.  The inspector's recipes (sondrel
# --json) run on folders built here: copies of the real files in tests/data,
# whose facts.json says what each holds, and files made from the example,
# some of them altered. Each test derives the expected answer from those
# facts or from how it built the files.

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
