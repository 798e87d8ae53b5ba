#!/usr/bin/env bash
# Runs two builds of sondrel over the same files in every mode and reports
# any difference in standard output, standard error or exit status: the
# proof that a change of structure changed no output.
# Usage: tools/same_output.sh [--writers] OLD_BINARY NEW_BINARY FILE_OR_FOLDER...
# With --writers the modes are the writing ones: --repair (its JSON line
# and the bytes of the copy) and --embed (its JSON line and the bytes of
# the file after it), each file written in a scratch folder.
# Environment: JOBS, files compared at once (default 2).
# The export (--rawchunks) draws its nonce from the clock: a pair that
# differs is run again, and only a difference that stays is reported.
set -uo pipefail
writers=0
if [ "${1:-}" = --writers ]; then writers=1 && shift; fi
old=$1 new=$2
shift 2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export old new scratch writers

# One file in every mode: a line "DIFFERS: MODE FILE" for each difference.
# Every text mode alone (no option at all is --chunks), the ones users
# combine, and the inspector with each of its options.
compare_file()
{
    local file=$1 mode try
    local tmp
    tmp=$(mktemp -d "$scratch/f.XXXXXX")
    local modes=("" "--chunks" "--fmt" "--bext" "--chunks --fmt --bext" "--ixml" "--data"
        "--data --mono" "--data --dryrun" "--data --mono --dryrun" "--rawchunks"
        "--rawchunks --chunks" "--json" "--json --md5" "--json --loudness"
        "--json --md5 --loudness")
    if [ "$writers" = 1 ]; then
        modes=("--repair" "--repair --md5" "--embed --md5" "--embed --loudness"
            "--embed --md5 --loudness")
    fi
    run() # BINARY MODE TAG
    {
        if [[ $2 == --repair* || $2 == --embed* ]]; then
            written "$@"
            return
        fi
        # Standard output by its digest: the audio of a 5 GiB file is not kept.
        # shellcheck disable=SC2086
        "$1" $2 "$file" 2>"$tmp/$3.err" | md5sum >"$tmp/$3.out"
        echo "${PIPESTATUS[0]}" >"$tmp/$3.status"
    }
    written() # BINARY MODE TAG: the JSON line and the written file's digest
    {
        local target=$tmp/w.wav
        rm -f "$tmp/w.wav" "$tmp/o.wav"
        # shellcheck disable=SC2086
        if [[ $2 == --repair* ]]; then
            target=$tmp/o.wav
            "$1" $2 "$file" "$target" >"$tmp/$3.line" 2>"$tmp/$3.err"
        else
            cp "$file" "$target"
            "$1" $2 "$target" >"$tmp/$3.line" 2>"$tmp/$3.err"
        fi
        echo "$?" >"$tmp/$3.status"
        # The paths differ by the scratch folder only.
        { sed "s#$tmp/##g" "$tmp/$3.line"; if [ -f "$target" ]; then md5sum <"$target"; fi; } \
            >"$tmp/$3.out"
    }
    same() { cmp -s "$tmp/a.$1" "$tmp/b.$1"; }
    for mode in "${modes[@]}"; do
        for try in 1 2 3; do
            run "$old" "$mode" a
            run "$new" "$mode" b
            if same out && same err && same status; then break; fi
            [[ $mode == --rawchunks* && $try -lt 3 ]] || {
                echo "DIFFERS: ${mode:-(no option)} $file"
                break
            }
        done
    done
    rm -rf "$tmp"
}
export -f compare_file

files=$(find "$@" -type f | wc -l)
find "$@" -type f -print0 | sort -z |
    xargs -0 -n 1 -P "${JOBS:-2}" bash -c 'compare_file "$1"' _ | tee "$scratch/differs"
differ=$(grep -c '^DIFFERS' "$scratch/differs")
echo "$files files, each in every mode: $differ differences"
[ "$differ" -eq 0 ]
