#!/usr/bin/env bash
# "cmake --install" puts the program, its man page and its bash completion
# under the prefix given, where man and bash-completion find them.
# Usage: install.sh CMAKE BUILD_DIR EXAMPLE_WAV
set -uo pipefail
# shellcheck source=tests/support/script_lib.sh
. "$(dirname "$0")/../support/script_lib.sh"

cmake=$1
build_dir=$(realpath "$2")
example=$(realpath "$3")

make_scratch
cd "$SCRATCH" || exit 1
prefix=$SCRATCH/prefix
"$cmake" --install "$build_dir" --prefix "$prefix" >install.log 2>&1 ||
    fail "cmake --install failed: $(cat install.log)"

for file in bin/sondrel share/man/man1/sondrel.1.gz share/bash-completion/completions/sondrel \
    share/doc/sondrel/copyright share/doc/sondrel/changelog.gz; do
    [ -f "$prefix/$file" ] || fail "not installed: $file"
done
[ -x "$prefix/bin/sondrel" ] || fail "bin/sondrel is not executable"
while IFS= read -r installed; do
    [[ $installed == "$prefix"/* ]] || fail "installed outside the prefix: $installed"
done <"$build_dir/install_manifest.txt"

version=$("$prefix/bin/sondrel" --version) || fail "the installed program fails on --version"
[[ $version == "sondrel version 0.05"* ]] || fail "unexpected version line: $version"
"$prefix/bin/sondrel" "$example" >listing 2>/dev/null || fail "the installed program fails on the example"
grep -q '^Chunk \[data\]' listing || fail "the installed program does not list the data chunk"

# A staged install for packagers: DESTDIR in front of the prefix.
DESTDIR=$SCRATCH/stage "$cmake" --install "$build_dir" --prefix /usr >/dev/null 2>&1 ||
    fail "cmake --install with DESTDIR failed"
for file in usr/bin/sondrel usr/share/man/man1/sondrel.1.gz usr/share/bash-completion/completions/sondrel \
    usr/share/doc/sondrel/copyright usr/share/doc/sondrel/changelog.gz; do
    [ -f "$SCRATCH/stage/$file" ] || fail "not staged under DESTDIR: $file"
done

if command -v man >/dev/null; then
    found=$(MANPATH=$prefix/share/man man -w sondrel 2>&1) || fail "man does not find the page: $found"
    expect_eq "the page man finds" "$prefix/share/man/man1/sondrel.1.gz" "$found"
    MANPATH=$prefix/share/man MANWIDTH=80 man sondrel 2>man.err >man.txt || fail "man sondrel failed"
    grep -q "sondrel - dump Broadcast WAV information" man.txt || fail "man sondrel shows no NAME line"
    expect_eq "man sondrel warnings" "" "$(cat man.err)"
else
    echo "note: man is not installed (Debian package man-db); man lookup not checked"
fi

framework=/usr/share/bash-completion/bash_completion
if [ -r "$framework" ]; then
    # bash-completion's on-demand loader looks in XDG_DATA_DIRS.
    offered=$(XDG_DATA_DIRS=$prefix/share bash --norc --noprofile -c '
        . "$1" || exit 2
        __load_completion sondrel || exit 3
        COMP_WORDS=(sondrel --d) COMP_CWORD=1 COMP_LINE="sondrel --d" COMP_POINT=11
        $(complete -p sondrel | sed -n "s/.*-F \([^ ]*\) .*/\1/p") sondrel --d sondrel
        printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd " " -
    ' loader "$framework" 2>&1)
    expect_eq "completion loaded from the prefix for 'sondrel --d'" "--data --dry-run --dryrun" "$offered"
else
    echo "note: $framework is absent (package bash-completion); the loader was not checked"
fi

finish
