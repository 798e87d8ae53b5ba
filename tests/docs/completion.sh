#!/usr/bin/env bash
# The bash completion offers the options and completes file names, both
# sourced alone and under the bash-completion package.
# Usage: completion.sh COMPLETION_SCRIPT [SONDREL]
set -uo pipefail
# shellcheck source=tests/support/script_lib.sh
. "$(dirname "$0")/../support/script_lib.sh"

script=$(realpath "$1")
sondrel=${2:+$(realpath "$2")}
make_scratch
cd "$SCRATCH" || exit 1
mkdir tapes
touch take.wav tone.wav notes.txt "take two.wav"

# Prints the sorted candidates for the words given; the last word is the
# one being completed. $FRAMEWORK, when set, is sourced first.
complete_words()
{
    FRAMEWORK=${FRAMEWORK:-} bash --norc --noprofile -c '
        script=$1
        shift
        if [ -n "$FRAMEWORK" ]; then
            . "$FRAMEWORK" || exit 2
        fi
        . "$script" || exit 2
        complete -p sondrel | grep -q -- "-F _sondrel" || exit 3
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        COMPREPLY=()
        _sondrel sondrel "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd " " -
    ' completion "$script" "$@"
}

check_completions()
{
    local how=$1
    expect_eq "$how: sondrel --d" "--data --dry-run --dryrun" "$(complete_words sondrel --d)"
    expect_eq "$how: sondrel --" \
        "--audio-to-end --bext --chunks --csv --data --dry-run --dryrun --embed --files-from --fmt --help --html --ixml --json --loudness --md5 --mono --no-rewrite --rawchunks --records --recursive --repair --replace --set --set-from --signal --version" \
        "$(complete_words sondrel --)"
    # The inspector's options and the text modes' do not mix: after one kind
    # only that kind is offered. Words given, word completed, expected.
    local json="--csv --files-from --html --json --loudness --md5 --recursive --signal"
    local cases=(
        "sondrel --j|--json"
        "sondrel --json --|$json"
        "sondrel --json -|$json -0"
        "sondrel --json take.wav --m|--md5"
        "sondrel --md5 --|$json"
        "sondrel --recursive --|$json"
        "sondrel --signal --|$json"
        "sondrel --loudness take.wav --j|--json"
        "sondrel --fmt --|--bext --chunks --data --dryrun --fmt --ixml --mono --rawchunks --version"
        "sondrel --data take.wav --m|--mono"
        "sondrel --json --fmt --|$json"
        "sondrel --json --version --|"
        "sondrel --json -h --|"
        "sondrel --json -- --|"
        "sondrel --repair --|--audio-to-end --md5"
        "sondrel --embed --|--loudness --md5 --replace"
        "sondrel --embed --fmt --|--loudness --md5 --replace"
        "sondrel --set info.INAM=x --|--dry-run --no-rewrite --set --set-from"
        "sondrel --records r.jsonl --|--html"
        "sondrel --html r.html --|--csv --files-from --html --json --loudness --md5 --records --recursive --signal"
        "sondrel --html r.html --records r.jsonl --|--html"
        "sondrel --json --html r.html --|$json"
    )
    local case words expected
    for case in "${cases[@]}"; do
        IFS='|' read -r words expected <<<"$case"
        # shellcheck disable=SC2086 # the words are split on purpose
        expect_eq "$how: $words" "$expected" "$(complete_words $words)"
    done
    expect_eq "$how: options after the file" "--bext" "$(complete_words sondrel take.wav --b)"
    expect_eq "$how: nothing after --version" "" "$(complete_words sondrel --version --d)"
    local files
    files=$(complete_words sondrel --fmt t)
    for name in take.wav tone.wav "take two.wav"; do
        case " $files " in
        *" $name "*) ;;
        *) fail "$how: 'sondrel --fmt t' does not offer $name: [$files]" ;;
        esac
    done
    case " $files " in
    *notes.txt*) fail "$how: 'sondrel --fmt t' offers a name not starting with t: [$files]" ;;
    esac
    files=$(complete_words sondrel no)
    expect_eq "$how: a file as the first word" "notes.txt" "$files"
    # The list after --files-from is a file, whatever it begins with.
    expect_eq "$how: the list of --files-from" "notes.txt" \
        "$(complete_words sondrel --json --files-from no)"
    expect_eq "$how: the records of --records" "notes.txt" \
        "$(complete_words sondrel --html r.html --records no)"
    # --json takes many files: one after another is completed too.
    files=$(complete_words sondrel --json take.wav --md5 t)
    for name in take.wav tone.wav "take two.wav"; do
        case " $files " in
        *" $name "*) ;;
        *) fail "$how: 'sondrel --json take.wav --md5 t' does not offer $name: [$files]" ;;
        esac
    done
}

check_completions "sourced alone"

# Every option of the full usage (--help) is offered, but "--".
if [ -n "$sondrel" ]; then
    offered=" $(complete_words sondrel -) "
    for option in $("$sondrel" --help | grep -oE -- '(^| |\[)--?[a-z0-9][a-z0-9-]*' |
        tr -d ' [' | sort -u); do
        [[ $offered == *" $option "* ]] || fail "the full usage's $option is not offered"
    done
fi

framework=/usr/share/bash-completion/bash_completion
if [ -r "$framework" ]; then
    FRAMEWORK=$framework check_completions "with bash-completion"
    # Directories are offered too, so a path can be completed step by step.
    files=$(FRAMEWORK=$framework complete_words sondrel ta)
    case " $files " in
    *" tapes "*) ;;
    *) fail "with bash-completion: 'sondrel ta' does not offer the folder tapes: [$files]" ;;
    esac
    # After a redirection the word is an output file, not an option.
    files=$(FRAMEWORK=$framework complete_words sondrel --data take.wav ">" no)
    expect_eq "with bash-completion: redirection target" "notes.txt" "$files"
else
    echo "note: $framework is absent (package bash-completion); checked the script alone"
fi

finish
