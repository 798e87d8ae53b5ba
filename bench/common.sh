# Sourced by the benchmark scripts: the checkout, the Release build of the
# benchmark targets, and a scratch folder removed when the script exits.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${BUILD_DIR:-$root/build/bench}")

# Builds the named targets: Release, benchmarks on, tests off.
bench_build()
{
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSONDREL_BUILD_BENCH=ON \
        -DSONDREL_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 --target "$@" >/dev/null
}

# Sets `work` to a new scratch folder named after $1.
bench_workdir()
{
    work=$(mktemp -d "${TMPDIR:-/tmp}/sondrel-$1-XXXXXX")
    trap 'rm -rf "$work"' EXIT
}

# Times the commands in one hyperfine call, `$1` runs each after a warm-up,
# and fills `wall` and `cpu` (median seconds; CPU is user plus system) under
# the names the caller's `names` gives them, in the same order.
time_commands()
{
    local runs=$1 csv=$work/times.csv i=0 median user system
    shift
    hyperfine -N --style none --runs "$runs" --warmup 1 --output null --export-csv "$csv" \
        "$@" >/dev/null 2>&1
    declare -gA wall cpu
    # Columns: command,mean,stddev,median,user,system,min,max
    while IFS=, read -r _ _ _ median user system _; do
        wall[${names[$i]}]=$median
        cpu[${names[$i]}]=$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')
        i=$((i + 1))
    done < <(tail -n +2 "$csv")
}
