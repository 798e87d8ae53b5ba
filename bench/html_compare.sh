#!/usr/bin/env bash
# Times `sondrel --html FILE --records RECORDS` on a million generated
# records against `jq -c . > /dev/null` over the same records, and prints
# the page's size and both peak memories.  Run from anywhere:
#   bench/html_compare.sh
# Environment: RECORDS (default 1000000), RUNS (default 3, the median is
# kept), BUILD_DIR (default build/bench).
# Targets: the page under 20 MB, at most 2x jq's time, peak memory under 64 MiB.
set -euo pipefail

source "$(dirname "$0")/common.sh"
count=${RECORDS:-1000000}
runs=${RUNS:-3}

"$root/tools/bootstrap.sh" jq time
bench_build sondrel make_records
sondrel=$build/sondrel

bench_workdir html
cd "$work"

# The records of tests/data as templates, cycled (bench/make_records.cpp).
echo "Making $count records in $work" >&2
(cd "$root" && "$sondrel" --json tests/data/*.wav >"$work/templates.jsonl") || true
"$build/bench/make_records" "$count" <templates.jsonl >records.jsonl
bytes=$(stat -c %s records.jsonl)
cat records.jsonl >/dev/null # in the page cache for every run

# run NAME COMMAND...: the median seconds and peak kilobytes of RUNS runs.
run()
{
    local name=$1 i
    shift
    for ((i = 0; i < runs; i++)); do
        /usr/bin/time -f '%e %M' -o time.txt "$@" >/dev/null
        cat time.txt
    done | sort -n | awk -v name="$name" -v runs="$runs" '
        { s[NR] = $1; m = $2 > m ? $2 : m }
        END { printf "%s %s %d\n", name, s[int((runs + 1) / 2)], m }' >>results.txt
}
: >results.txt
run jq jq -c . records.jsonl
run sondrel "$sondrel" --html report.html --records records.jsonl
page=$(stat -c %s report.html)

awk -v records="$count" -v bytes="$bytes" -v page="$page" '
    { t[$1] = $2; m[$1] = $3 }
    END {
        printf "%d records, %.0f MB of JSON Lines\n\n", records, bytes / 1e6
        print "| what | seconds (median) | peak memory | target |"
        print "|---|---:|---:|---|"
        printf "| `jq -c . > /dev/null` | %.2f | %.1f MiB | |\n", t["jq"], m["jq"] / 1024
        printf "| `sondrel --html report.html --records` | %.2f | %.1f MiB | under 64 MiB |\n",
            t["sondrel"], m["sondrel"] / 1024
        printf "| time, sondrel / jq | %.2fx | | at most 2x |\n", t["sondrel"] / t["jq"]
        printf "| page size | %.2f MB | | under 20 MB |\n", page / 1e6
    }' results.txt
