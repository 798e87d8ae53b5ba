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
