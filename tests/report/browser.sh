#!/usr/bin/env bash
# Reports opened in headless Chromium: the pages of tests/data (made during a
# run and from saved records), of hostile texts, of more files than the
# table keeps and of no file load with no console error and no request, show
# the counts of their records, and sort and filter their table.
# Usage: browser.sh SONDREL SOURCE_DIR
set -uo pipefail
# shellcheck source=tests/support/script_lib.sh
. "$(dirname "$0")/../support/script_lib.sh"

sondrel=$(realpath "$1")
source_dir=$(realpath "$2")
check=$source_dir/tests/report/browser_check.mjs

# CI installs the browser (tools/bootstrap.sh): there a missing one fails.
cannot_run()
{
    if [ -n "${CI:-}" ]; then
        echo "FAIL: CI must run this test: $*" >&2
        exit 1
    fi
    skip "$*"
}
command -v chromium >/dev/null || cannot_run "chromium is not installed (Debian package chromium)"
command -v node >/dev/null || cannot_run "node is not installed (Debian package nodejs)"
node --experimental-websocket --no-warnings -e 'WebSocket' 2>/dev/null ||
    cannot_run "node has no WebSocket client (Node.js 20.10 or later needed)"
command -v jq >/dev/null || cannot_run "jq is not installed"
make_scratch
cd "$SCRATCH" || exit 1
export TMPDIR=$SCRATCH # the browser's profiles go with the scratch folder

# tests/data, during a run and again from its records: the same page.
(cd "$source_dir" && "$sondrel" --json --loudness --html "$SCRATCH/data.html" tests/data/*.wav) >data.jsonl
"$sondrel" --html records.html --records - <data.jsonl || fail "--records failed on the run's records"
cmp -s data.html records.html || fail "the page from saved records differs from the run's"

# Hostile texts: a real file whose name has quotes, markup and control
# characters, and a record whose description, iXML note and code are markup.
hostile=$(printf 'it'"'"'s "a"<b>\033[31m\x01.wav')
cp "$source_dir/tests/data/ff_pipe_s16_stereo.wav" "$hostile"
"$sondrel" --json --html named.html -- "$hostile" >named.jsonl
(cd "$source_dir" && "$sondrel" --json tests/data/lsf_bext_metaset_s16.wav) |
    jq -c '.path = "x\"'"'"'</td>\u0007.wav" | .bext.description = "</script><script>alert(1)</script>"
       | .ixml = {"note": "<img src=x onerror=alert(2)>"}
       | .findings += [{"severity": "error", "code": "<svg onload=alert(3)>", "chunk": null,
                        "offset": null, "message": "<iframe src=javascript:alert(4)>"}]' >hostile.jsonl
cat named.jsonl >>hostile.jsonl
"$sondrel" --html hostile.html --records hostile.jsonl || fail "--records failed on hostile text"

# More files with findings than the table keeps: the errors come last.
(cd "$source_dir" && "$sondrel" --json tests/data/ff_pipe_s16_stereo.wav) |
    jq -c '. as $r | range(10050) | . as $i | $r | .path = "f\($i).wav"
           | if $i % 1000 == 999 then .findings += [{"severity": "error", "code": "chunk-truncated",
               "chunk": "data", "offset": 36, "message": "cut"}] else . end' >many.jsonl
"$sondrel" --html many.html --records many.jsonl || fail "--records failed on many records"
: | "$sondrel" --html empty.html --records - || fail "--records failed on no records"
: >empty.jsonl

for page in data named hostile many empty; do
    node --experimental-websocket --no-warnings "$check" "$page.html" "$page.jsonl" ||
        fail "$page.html failed in the browser"
done
finish
