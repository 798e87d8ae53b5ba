#!/usr/bin/env bash
# Runs two builds of sondrel over the same files in every mode and reports
# any difference in standard output, standard error or exit status: the
# proof that a change of structure changed no output.
# Usage: tools/same_output.sh [--writers] OLD_BINARY NEW_BINARY FILE_OR_FOLDER...
# With --writers the modes are the writing ones: --repair (its JSON line
# and the bytes of the copy) and --embed (its JSON line and the bytes of
# the file after it), each file written in a scratch folder.
# The export (--rawchunks) draws its nonce from the clock: a pair that
# differs is run again, and only a difference that stays is reported.
set -uo pipefail
writers=0
if [ "${1:-}" = --writers ]; then writers=1 && shift; fi
old=$1 new=$2
shift 2
modes=("--chunks --fmt --bext" "--ixml" "--data" "--data --mono" "--data --dryrun"
    "--rawchunks" "--rawchunks --chunks" "--json" "--json --md5 --loudness")
if [ "$writers" = 1 ]; then
    modes=("--repair" "--repair --md5" "--embed --md5" "--embed --loudness"
        "--embed --md5 --loudness")
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
run() # BINARY MODE FILE TAG
{
    if [[ $2 == --repair* || $2 == --embed* ]]; then
        written "$@"
        return
    fi
    # Standard output by its digest: the audio of a 5 GiB file is not kept.
    # shellcheck disable=SC2086
    "$1" $2 "$3" 2>"$scratch/$4.err" | md5sum >"$scratch/$4.out"
    echo "${PIPESTATUS[0]}" >"$scratch/$4.status"
}
written() # BINARY MODE FILE TAG: the JSON line and the written file's digest
{
    local target=$scratch/w.wav
    rm -f "$scratch/w.wav" "$scratch/o.wav"
    # shellcheck disable=SC2086
    if [[ $2 == --repair* ]]; then
        target=$scratch/o.wav
        "$1" $2 "$3" "$target" >"$scratch/$4.line" 2>"$scratch/$4.err"
    else
        cp "$3" "$target"
        "$1" $2 "$target" >"$scratch/$4.line" 2>"$scratch/$4.err"
    fi
    echo "$?" >"$scratch/$4.status"
    { cat "$scratch/$4.line"; if [ -f "$target" ]; then md5sum <"$target"; fi; } >"$scratch/$4.out"
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
