#!/usr/bin/env bash
# The Debian package that CPack builds passes lintian with no error and no
# warning, its changelog names the packaged version, and its copyright file
# carries the licence of LICENSE.
# Usage: lintian.sh CPACK BUILD_DIR SOURCE_DIR SANITIZED(ON|OFF)
set -uo pipefail
# shellcheck source=tests/support/script_lib.sh
. "$(dirname "$0")/../support/script_lib.sh"

cpack=$1
build_dir=$(realpath "$2")
source_dir=$(realpath "$3")
sanitized=$4

case $sanitized in
ON | on | 1 | TRUE | true) skip "sanitizer builds are not packaged; the release build's run checks the package" ;;
esac
if ! command -v lintian >/dev/null; then
    [ -n "${CI:-}" ] && {
        echo "FAIL: CI must run this test: lintian is not installed" >&2
        exit 1
    }
    skip "lintian is not installed (Debian package lintian)"
fi

make_scratch
cd "$SCRATCH" || exit 1
build_deb "$cpack" "$build_dir"
deb=$DEB

# Errors and warnings fail, and so do the notes on hardening flags and on
# sections a strip leaves. Run as root, lintian says so: that is no finding.
lintian --display-info --fail-on error,warning "$deb" >lintian.log 2>&1
status=$?
cat lintian.log
findings=$(grep -E '^[EW]: |^I: .*(hardening-|binary-has-unneeded-section)' lintian.log)
expect_eq "lintian's findings" "" "$findings"
expect_eq "lintian's exit status" 0 "$status"

dpkg-deb -x "$deb" root || fail "dpkg-deb -x failed"
doc=root/usr/share/doc/sondrel
expect_eq "version of the changelog's latest entry" "$(dpkg-deb -f "$deb" Version)" \
    "$(gzip -dc "$doc/changelog.gz" | dpkg-parsechangelog -l - -S Version)"
# The licence paragraph is LICENSE from its first clause on, in control-file form.
expect_eq "licence text of the copyright file" \
    "$(sed -n '/^Redistribution/,$p' "$source_dir/LICENSE" | sed 's/^$/./; s/^/ /')" \
    "$(sed -n '/^License: BSD-2-Clause$/,$p' "$doc/copyright" | sed -n '/^ Redistribution/,$p')"
# Both name the author as the program's version line does.
author=$(root/usr/bin/sondrel --version | sed -n 's/.*(c) \(.*\) <.*/\1/p')
[ -n "$author" ] || fail "no author in the version line"
grep -qx "Copyright (c) [0-9]\{4\}, $author" "$source_dir/LICENSE" ||
    fail "LICENSE lacks a copyright line of $author"
grep -qx "Copyright: [0-9]\{4\} $author" "$doc/copyright" ||
    fail "the copyright file lacks a copyright line of $author"

finish
