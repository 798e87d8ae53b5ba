#!/usr/bin/env bash
# Installs what building and testing sondrel needs on a fresh Debian machine.
# Packages already present are left alone, so a second run costs nothing.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# libssl-dev and libebur128-dev give --md5 and --loudness their MD5 and
# meter. man-db and groff render and check the man page, bash-completion loads
# the completion in its test, dpkg-dev and file let CPack work out the
# package's dependencies. Peer tools for the recipe and
# inspector tests (ffmpeg, sox, sndfile-programs) come as arguments (.ci/run).
for pkg in g++ cmake make libgtest-dev nlohmann-json3-dev libbenchmark-dev \
    libssl-dev libebur128-dev libpugixml-dev jq parallel \
    man-db groff-base bash-completion dpkg-dev file "$@"; do
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
