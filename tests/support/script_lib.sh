# Helpers shared by the shell tests that CTest runs (sourced, not run).
# shellcheck shell=bash
# A test exits 77 to be counted as skipped; it always says why.

FAILURES=0

# Records a failed check and goes on, so one run shows every broken check.
fail()
{
    echo "FAIL: $*" >&2
    FAILURES=$((FAILURES + 1))
}

skip()
{
    echo "SKIP: $*"
    exit 77
}

# Ends the test: status 1 when any check failed.
finish()
{
    if [ "$FAILURES" -ne 0 ]; then
        echo "$FAILURES check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

# A private scratch folder, removed when the test ends.
make_scratch()
{
    SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/sondrel-test.XXXXXX")
    trap 'rm -rf "$SCRATCH"' EXIT
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq()
{
    if [ "$2" != "$3" ]; then
        fail "$1: expected [$2], got [$3]"
    fi
}

# build_deb CPACK BUILD_DIR: builds the Debian package into $SCRATCH/out and
# sets DEB to its path; a failed build fails the test and ends it.
build_deb()
{
    "$1" -G DEB --config "$2/CPackConfig.cmake" -B "$SCRATCH/out" >"$SCRATCH/cpack.log" 2>&1 ||
        fail "cpack failed: $(cat "$SCRATCH/cpack.log")"
    local debs=("$SCRATCH"/out/sondrel_*.deb)
    [ -f "${debs[0]}" ] || {
        fail "cpack made no .deb: $(cat "$SCRATCH/cpack.log")"
        finish
    }
    DEB=${debs[0]}
}
