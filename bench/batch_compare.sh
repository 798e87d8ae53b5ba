#!/usr/bin/env bash
# Times the inspector's batches and prints the ratios and peak memory:
# --files-from with a million names against ten thousand (time per file),
# and --recursive over a tree of 100,000 files in 1,000 folders against
# mediainfo on a sample of the same tree (per file).  Run from anywhere:
#   bench/batch_compare.sh
# Environment: NAMES (default 1000000), SMALL (default 10000), FOLDERS
# (default 1000), TREE_FILES (default 100000), SAMPLE_FOLDERS (folders of
# the tree that mediainfo reads, default 10), RUNS (default 3), SMALL_RUNS
# (default 10), BUILD_DIR (default build/bench).
set -euo pipefail

source "$(dirname "$0")/common.sh"
names=${NAMES:-1000000}
small=${SMALL:-10000}
folders=${FOLDERS:-1000}
tree_files=${TREE_FILES:-100000}
sample_folders=${SAMPLE_FOLDERS:-10}
runs=${RUNS:-3}
small_runs=${SMALL_RUNS:-10}

"$root/tools/bootstrap.sh" mediainfo hyperfine time
bench_build sondrel
sondrel=$build/sondrel

bench_workdir batch
cd "$work"

# Hard links to the test data: no disk for the audio, one directory entry a
# name.  A fresh copy of the sources every 100 folders keeps each file far
# below the file system's limit of links.  perl is part of every Debian.
echo "Making $names names in $folders folders and a tree of $tree_files files in $work" >&2
link_tree()
{
    perl -e '
        my ($top, $folders, $files, @sources) = @ARGV;
        my $n = @sources;
        mkdir $top or die "$top: $!";
        for my $d (0 .. $folders - 1) {
            my $set = "$top.src" . int($d / 100);
            if ($d % 100 == 0) {
                mkdir $set or die "$set: $!";
                system("cp", @sources, "$set/") == 0 or die "cp";
            }
            my $dir = sprintf("%s/%04d", $top, $d);
            mkdir $dir or die "$dir: $!";
            for my $f (0 .. $files - 1) {
                my ($name) = $sources[($d * $files + $f) % $n] =~ m{([^/]+)$};
                link("$set/$name", sprintf("%s/%05d.wav", $dir, $f)) or die "link: $!";
            }
        }' "$@"
}
link_tree names "$folders" $((names / folders)) "$root"/tests/data/*.wav
link_tree tree "$folders" $((tree_files / folders)) "$root"/tests/data/*.wav
find names -name '*.wav' | sort >all.txt
head -n "$small" all.txt >small.txt
sample=()
for ((d = 0; d < sample_folders; d++)); do
    sample+=("$(printf 'tree/%04d' "$d")")
done
sample_files=$((sample_folders * tree_files / folders))

# Median wall time in seconds of each command, one line each (exit statuses
# ignored: some test files carry error findings).
times()
{
    local runs=$1 warmup=$2
    shift 2
    hyperfine -N -i --style none --runs "$runs" --warmup "$warmup" --output null \
        --export-csv "$work/times.csv" "$@" >/dev/null 2>&1
    tail -n +2 "$work/times.csv" | cut -d, -f4
}
# Peak resident set in KiB, the largest of three runs.
peak_kib()
{
    local kb max=0
    for _ in 1 2 3; do
        /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 || true
        kb=$(tail -n 1 "$work/rss")
        [ "$kb" -gt "$max" ] && max=$kb
    done
    echo "$max"
}
per_file_us()
{
    awk -v t="$1" -v n="$2" 'BEGIN { printf "%.2f", t * 1e6 / n }'
}
mib()
{
    awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'
}
row()
{
    printf '%-58s %12s %12s %10s\n' "$@"
}

echo "Timing: $runs runs of $names names, $small_runs of $small, $runs of the tree," \
    "1 of mediainfo on $sample_files files" >&2
t_big=$(times "$runs" 1 "$sondrel --json --files-from all.txt")
t_small=$(times "$small_runs" 2 "$sondrel --json --files-from small.txt")
t_tree=$(times "$runs" 1 "$sondrel --json --recursive tree")
t_mi=$(times 1 1 "mediainfo --Output=JSON ${sample[*]}")
us_big=$(per_file_us "$t_big" "$names")
us_small=$(per_file_us "$t_small" "$small")
us_tree=$(per_file_us "$t_tree" "$tree_files")
us_mi=$(per_file_us "$t_mi" "$sample_files")

echo "Peak memory" >&2
rss_big=$(peak_kib "$sondrel" --json --files-from all.txt)
rss_small=$(peak_kib "$sondrel" --json --files-from small.txt)
rss_tree=$(peak_kib "$sondrel" --json --recursive tree)
rss_one=$(peak_kib "$sondrel" --json "$(head -n 1 all.txt)")
rss_version=$(peak_kib "$sondrel" --version)

printf '\nPage-cached hard links to tests/data/*.wav, records to /dev/null; medians\n'
row "" "wall" "per file" "target"
row "--files-from, $names names" "$(awk -v t="$t_big" 'BEGIN { printf "%.2f s", t }')" \
    "$us_big us" ""
row "--files-from, $small names" "$(awk -v t="$t_small" 'BEGIN { printf "%.3f s", t }')" \
    "$us_small us" ""
row "  per file, $names / $small names" "" \
    "$(awk -v a="$us_big" -v b="$us_small" 'BEGIN { printf "%.3f", a / b }')" "<= 1.10"
row "--recursive, $tree_files files in $folders folders" \
    "$(awk -v t="$t_tree" 'BEGIN { printf "%.2f s", t }')" "$us_tree us" ""
row "mediainfo --Output=JSON, $sample_folders folders of the tree" \
    "$(awk -v t="$t_mi" 'BEGIN { printf "%.2f s", t }')" "$us_mi us" ""
row "  per file, mediainfo / sondrel --recursive" "" \
    "$(awk -v a="$us_mi" -v b="$us_tree" 'BEGIN { printf "%.0f", a / b }')" ">= 100"

printf '\nPeak resident memory (MiB, largest of 3 runs)\n'
row "--files-from, $names names" "$(mib "$rss_big")" "" "<= 8"
row "--files-from, $small names" "$(mib "$rss_small")" "" ""
row "--recursive, $tree_files files" "$(mib "$rss_tree")" "" "<= 8"
row "one file" "$(mib "$rss_one")" "" ""
row "--version (start-up: the program and its libraries)" "$(mib "$rss_version")" "" ""
