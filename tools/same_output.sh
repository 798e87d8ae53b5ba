#!/usr/bin/env bash
# Runs two builds of sondrel over the same files in every mode and reports
# any difference in standard output, standard error or exit status: the
# proof that a change of structure changed no output.
# Usage: tools/same_output.sh OLD_BINARY NEW_BINARY FILE_OR_FOLDER...
# The export (--rawchunks) draws its nonce from the clock: a pair that
# differs is run again, and only a difference that stays is reported.
set -uo pipefail
old=$1 new=$2
shift 2
# Every text mode alone (no option at all is --chunks), the ones users
# combine, and the inspector with each of its options.
modes=("" "--chunks" "--fmt" "--bext" "--chunks --fmt --bext" "--ixml" "--data" "--data --mono"
    "--data --dryrun" "--data --mono --dryrun" "--rawchunks" "--rawchunks --chunks"
    "--json" "--json --md5" "--json --loudness" "--json --md5 --loudness")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
run() # BINARY MODE FILE TAG
{
    # Standard output by its digest: the audio of a 5 GiB file is not kept.
    # shellcheck disable=SC2086
    "$1" $2 "$3" 2>"$scratch/$4.err" | md5sum >"$scratch/$4.out"
    echo "${PIPESTATUS[0]}" >"$scratch/$4.status"
}
same() { cmp -s "$scratch/a.$1" "$scratch/b.$1"; }
files=0 differ=0
while IFS= read -r -d '' file; do
    files=$((files + 1))
    for mode in "${modes[@]}"; do
        for try in 1 2 3; do
            run "$old" "$mode" "$file" a
            run "$new" "$mode" "$file" b
            if same out && same err && same status; then break; fi
            [[ $mode == --rawchunks* && $try -lt 3 ]] || {
                echo "DIFFERS: $mode $file"
                differ=$((differ + 1))
                break
            }
        done
    done
done < <(find "$@" -type f -print0 | sort -z)
echo "$files files x ${#modes[@]} modes: $differ differences"
[ "$differ" -eq 0 ]
