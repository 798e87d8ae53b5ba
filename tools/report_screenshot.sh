#!/usr/bin/env bash
# Makes doc/report.png, the README's picture of a report: the page of
# tests/data with its loudness measured, opened in headless Chromium, checked
# as the browser test checks it, and shot at 1200x1700.
#   tools/report_screenshot.sh [SONDREL]   (default build/release/sondrel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sondrel=$(realpath "${1:-$root/build/release/sondrel}")
work=$(mktemp -d "${TMPDIR:-/tmp}/sondrel-shot-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$root"
"$sondrel" --json --loudness --html "$work/report.html" tests/data/*.wav >"$work/records.jsonl" || true
node --experimental-websocket --no-warnings tests/report/browser_check.mjs \
    "$work/report.html" "$work/records.jsonl" doc/report.png
