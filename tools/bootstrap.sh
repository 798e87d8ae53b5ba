#!/usr/bin/env bash
# Installs what building and testing sondrel needs on a fresh Debian machine.
# Packages already present are left alone, so a second run costs nothing.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# libssl-dev gives --md5 its MD5; libebur128-dev is the loudness tests'
# reference meter. man-db and groff render and check the man page, bash-completion loads
# the completion in its test, dpkg-dev and file let CPack work out the
# package's dependencies, lintian checks the package. The peer tools that the
# tests and recipes compare against or pipe into come too, so that every test
# runs on a fresh machine: ffmpeg, sox, alsa-utils (aplay, played into a file,
# no sound card needed), the libsndfile programs, mediainfo and exiftool (which
# read back what --set writes); strace runs the writers' crash tests; chromium
# and nodejs open the HTML reports in a headless browser and drive it over its
# DevTools protocol; python3 writes the killed recordings and the spreadsheets
# the writers' and editor's tests read. util-linux (setpriv, to run a check as an ordinary
# user) is essential in Debian. Arguments name more packages (the benchmarks'
# and the fuzzer's).
for pkg in g++ cmake make libgtest-dev nlohmann-json3-dev libbenchmark-dev \
    libssl-dev libebur128-dev libpugixml-dev jq parallel \
    man-db groff-base bash-completion dpkg-dev file lintian \
    ffmpeg sox alsa-utils sndfile-programs mediainfo libimage-exiftool-perl util-linux strace \
    chromium nodejs python3 "$@"; do
    have "$pkg" || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
echo "bootstrap: installing ${need[*]}" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
