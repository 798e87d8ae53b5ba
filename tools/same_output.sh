#!/usr/bin/env bash
# Runs two builds of sondrel over the same files in every mode and reports
# any difference in standard output, standard error or exit status: the
# proof that a change of structure changed no output.
# Usage: tools/same_output.sh OLD_BINARY NEW_BINARY FILE_OR_FOLDER...
# Environment: JOBS, files compared at once (default 2).
# The export (--rawchunks) draws its nonce from the clock: a pair that
# differs is run again, and only a difference that stays is reported.
set -uo pipefail
old=$1 new=$2
shift 2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export old new scratch

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
    run() # BINARY MODE TAG
    {
        # Standard output by its digest: the audio of a 5 GiB file is not kept.
        # shellcheck disable=SC2086
        "$1" $2 "$file" 2>"$tmp/$3.err" | md5sum >"$tmp/$3.out"
        echo "${PIPESTATUS[0]}" >"$tmp/$3.status"
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
