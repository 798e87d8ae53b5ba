#!/usr/bin/env bash
# CPack builds a Debian package that dpkg installs and removes cleanly.
# It installs into the system, so it runs only as root (CI runs it) and
# never replaces a sondrel that is already there.
# Usage: package.sh CPACK BUILD_DIR SANITIZED(ON|OFF)
set -uo pipefail
# shellcheck source=tests/support/script_lib.sh
. "$(dirname "$0")/../support/script_lib.sh"

cpack=$1
build_dir=$(realpath "$2")
sanitized=$3

# Conditions that only a machine set up for it can meet: CI must meet them.
cannot_run()
{
    if [ -n "${CI:-}" ]; then
        echo "FAIL: CI must run this test: $*" >&2
        exit 1
    fi
    skip "$*"
}

case $sanitized in
ON | on | 1 | TRUE | true) skip "sanitizer builds are not packaged; the release build's run checks the package" ;;
esac
[ "$(id -u)" -eq 0 ] || cannot_run "dpkg -i needs root (run the tests as root, as CI does)"
command -v dpkg >/dev/null || cannot_run "dpkg is not installed: not a Debian machine"

# Test runs in other build folders of this machine wait for each other.
exec 9>"${TMPDIR:-/tmp}/sondrel-package-test.lock"
flock -w 900 9 || cannot_run "another package test held the lock for 15 minutes"

status_of() { dpkg-query -W -f='${Status}' sondrel 2>/dev/null; }
case $(status_of) in
*" installed") cannot_run "a sondrel package is installed on this machine; it is left alone" ;;
esac
for file in /usr/bin/sondrel /usr/share/man/man1/sondrel.1.gz /usr/share/bash-completion/completions/sondrel; do
    [ -e "$file" ] && cannot_run "$file exists outside any package test; it is left alone"
done

make_scratch
cd "$SCRATCH" || exit 1
installed=0
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup()
{
    [ "$installed" -eq 1 ] && dpkg -P sondrel >/dev/null 2>&1
    rm -rf "$SCRATCH"
}
trap cleanup EXIT

build_deb "$cpack" "$build_dir"
deb=$DEB

info=$(dpkg-deb -f "$deb" Package Maintainer Description Depends)
grep -q '^Package: sondrel$' <<<"$info" || fail "package name: $info"
grep -q '^Maintainer: .*<.*@.*>$' <<<"$info" || fail "no maintainer with an address: $info"
grep -q '^Description: .\+' <<<"$info" || fail "no description: $info"
grep -q '^Depends: .*libc6' <<<"$info" || fail "no dependency on libc6: $info"
grep -q '^Depends: .*libstdc++6' <<<"$info" || fail "no dependency on libstdc++6: $info"
contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for file in ./usr/bin/sondrel ./usr/share/man/man1/sondrel.1.gz ./usr/share/bash-completion/completions/sondrel \
    ./usr/share/doc/sondrel/copyright ./usr/share/doc/sondrel/changelog.gz; do
    grep -qxF "$file" <<<"$contents" || fail "the package lacks $file"
done

# dpkg refuses to start while another dpkg or apt runs; wait for it.
run_dpkg()
{
    local try
    for try in $(seq 1 60); do
        if dpkg "$@" >dpkg.log 2>&1; then
            return 0
        fi
        grep -q 'lock' dpkg.log || return 1
        echo "dpkg is busy (try $try), waiting"
        sleep 5
    done
    return 1
}

installed=1
run_dpkg -i "$deb" || fail "dpkg -i failed: $(cat dpkg.log)"
grep -iE 'warning|error' dpkg.log && fail "dpkg -i complained"
expect_eq "status after dpkg -i" "install ok installed" "$(status_of)"
version=$(/usr/bin/sondrel --version 2>&1) || fail "the packaged program fails: $version"
[[ $version == "sondrel version 0.05"* ]] || fail "unexpected version line: $version"
if command -v man >/dev/null; then
    found=$(man -w sondrel 2>&1) || fail "man does not find the packaged page: $found"
fi
[ -f /usr/share/bash-completion/completions/sondrel ] || fail "the completion is not in place"

run_dpkg -r sondrel || fail "dpkg -r failed: $(cat dpkg.log)"
grep -iE 'warning|error' dpkg.log && fail "dpkg -r complained"
case $(status_of) in
"" | *not-installed) installed=0 ;;
*) fail "status after dpkg -r: $(status_of)" ;;
esac
for file in /usr/bin/sondrel /usr/share/man/man1/sondrel.1.gz /usr/share/bash-completion/completions/sondrel \
    /usr/share/doc/sondrel/copyright /usr/share/doc/sondrel/changelog.gz; do
    [ -e "$file" ] && fail "left behind by dpkg -r: $file"
done

finish
