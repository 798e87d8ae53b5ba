#!/usr/bin/env bash
# The man page renders without warnings, and the man page and the guide
# (doc/guide.md) document every option and every message of the program;
# their examples and the README's show output the built program really gives.
# Usage: docs.sh SONDREL EXAMPLE_WAV SOURCE_DIR
set -uo pipefail
# shellcheck source=tests/support/script_lib.sh
. "$(dirname "$0")/../support/script_lib.sh"

sondrel=$(realpath "$1")
example=$(realpath "$2")
source_dir=$(realpath "$3")
page=$source_dir/doc/sondrel.1
readme=$source_dir/README.md
guide=$source_dir/doc/guide.md

command -v groff >/dev/null || skip "groff is not installed (Debian package groff-base)"
make_scratch
cd "$SCRATCH" || exit 1

# Rendering: groff's own check, then man as a reader runs it.
warnings=$(groff -ww -z -man "$page" 2>&1) || fail "groff failed on the man page"
expect_eq "groff -ww warnings" "" "$warnings"
if command -v man >/dev/null; then
    MANWIDTH=80 man --warnings -l "$page" >man.txt 2>man.err || fail "man -l failed"
    expect_eq "man --warnings output on standard error" "" "$(cat man.err)"
    grep -q "^ *sondrel - dump Broadcast WAV information" man.txt ||
        fail "man -l did not render the NAME line"
else
    echo "note: man is not installed (Debian package man-db); checked with groff alone"
fi
groff -man -Tascii -P-cbou "$page" 2>/dev/null | sed 's/^       //' >page.txt
# Whole documents as one line each, for texts that a renderer may wrap.
flat()
{
    tr -s '[:space:]' ' ' <"$1"
}
flat page.txt >page.flat
flat "$guide" >guide.flat

# Every option of the full usage (--help) has its own entry in both
# documents: a line of the man page's OPTIONS ("-h, --help", "--files-from
# LIST"), and a code span in the first cell of a row of the guide's tables.
options=$(
    "$sondrel" --help | grep -oE -- '(^| |\[)--?[a-z0-9][a-z0-9-]*' | tr -d ' [' | sort -u
    echo --
)
[ "$(wc -l <<<"$options")" -ge 20 ] || fail "found too few options in --help: $options"
sed -n '/^OPTIONS$/,/^OUTPUT$/p' page.txt >page-options.txt
for option in $options; do
    grep -qE -- "^(-[a-z0-9], )?$option([ ,]|$)" page-options.txt ||
        fail "the man page's OPTIONS lack $option"
    grep -qE -- "^\| [^|]*\`$option[ \`]" "$guide" || fail "the guide's option table lacks $option"
done

# Every message in the program's sources appears in both documents. Printf
# conversions match any text; a message on two lines is two texts.
to_pattern()
{
    sed -e 's/[][\.*^$+?(){}|/]/\\&/g' -e 's/%[-0-9.]*l*[a-zA-Z]/.+/g'
}
messages=$(
    grep -ohE '"(sondrel: (Error|Warning): |WARNING: )[^"]*"' "$source_dir"/sondrel/*.cpp "$source_dir"/sondrel/*/*.cpp |
        sed -e 's/^"//' -e 's/"$//' -e 's/\\n/\n/g' | sed -e 's/[[:space:]]*$//' | grep -v '^$'
    # Error labels are followed by the system's text.
    grep -ohE '(ReportError|perror)\("[^"]*"\)' "$source_dir"/sondrel/*.cpp "$source_dir"/sondrel/*/*.cpp |
        sed -e 's/^[a-zA-Z]*("//' -e 's/")$/: /'
    printf '%s\n' "Unknown option '%s'" "Allocating %lu byte buffer" \
        "Streaming... %llu of %llu bytes" "+OK"
)
[ "$(wc -l <<<"$messages")" -ge 15 ] || fail "found too few messages in the sources: $messages"
sed -n '/^DIAGNOSTICS$/,/^EXIT STATUS$/p' page.txt | tr -s '[:space:]' ' ' >diagnostics.flat
while IFS= read -r message; do
    pattern=$(to_pattern <<<"$message")
    grep -qE -- "$pattern" diagnostics.flat || fail "the man page's DIAGNOSTICS lack: $message"
    grep -qE -- "$pattern" guide.flat || fail "the guide lacks the message: $message"
done < <(sort -u <<<"$messages")

# Example runs: a line "$ sondrel ..." is followed by what a terminal shows,
# standard output then standard error; a line "..." ends the comparison.
mkdir run
cp "$example" run/take.wav
cp "$example" run/example.wav
mkdir bin
ln -s "$sondrel" bin/sondrel
check_examples()
{
    local document=$1 text=$2 count=0 i=0 command
    local -a lines
    mapfile -t lines <"$text"
    for ((i = 0; i < ${#lines[@]}; i++)); do
        [[ ${lines[i]} == '$ sondrel '* ]] || continue
        count=$((count + 1))
        command=${lines[i]#\$ }
        (cd run && PATH="$SCRATCH/bin:$PATH" bash -c "$command" >../out 2>../err)
        cat out err | tr -d '\r' | sed 's/[[:space:]]*$//' >shown
        local j=0 expected
        while IFS= read -r expected; do
            j=$((j + 1))
            local doc=${lines[i + j]:-}
            doc=${doc%"${doc##*[![:space:]]}"}
            [ "$doc" = "..." ] && break
            if [[ $command == *--rawchunks* ]]; then
                # Enciphered with a new nonce each run: only the layout holds.
                [[ $expected =~ ^(.*=)[0-9A-F]{64}$ ]] && expected="${BASH_REMATCH[1]}HEX"
                [[ $doc =~ ^(.*=)[0-9A-F]{64}$ ]] && doc="${BASH_REMATCH[1]}HEX"
            fi
            if [ "$doc" != "$expected" ]; then
                fail "$document, '$command', line $j: shows [$doc], the program writes [$expected]"
                break
            fi
        done <shown
    done
    [ "$count" -gt 0 ] || fail "$document shows no example run"
}
check_examples "the man page" page.txt
check_examples "the guide" "$guide"
check_examples "README" "$readme"

finish
