#!/usr/bin/env bash
# The proof that a change of structure changed no output: two builds of
# sondrel over every file the project has (tests/data, the shared fixtures,
# the fuzz corpus) and the large files the benchmarks generate, in every
# mode (tools/same_output.sh).  Prints the count of differences; exits 1
# when there is one.
# Usage: tools/same_output_all.sh OLD_BINARY NEW_BINARY
# Environment: FIXTURES (default ../shared/fixtures beside the checkout),
# BUILD_DIR (where bench/ builds its file makers, default build/bench).
set -euo pipefail
old=$(realpath "$1") new=$(realpath "$2")
source "$(dirname "$0")/../bench/common.sh"
fixtures=${FIXTURES:-$root/../shared/fixtures}

bench_build make_bench_wav make_json_wav
bench_workdir same
# Large enough for many blocks of the threaded read and of the mono mix,
# small enough that all of it runs in a few minutes; the sparse RF64 holds
# more than 4 GiB of audio, so its sizes live in ds64 alone.
"$build/bench/make_bench_wav" "$work/s24_stereo.wav" 2 24 24 >/dev/null
"$build/bench/make_bench_wav" "$work/s24_5.1.wav" 6 24 24 >/dev/null
"$build/bench/make_bench_wav" "$work/s16_8ch.wav" 8 16 16 >/dev/null
"$build/bench/make_json_wav" sparse "$work/rf64_5g.wav" RF64 $((5 << 30))
"$build/bench/make_json_wav" sparse "$work/bw64_64m.wav" BW64 $((64 << 20))
"$build/bench/make_json_wav" ixml "$work/ixml_4m.wav" $((4 << 20)) >/dev/null
"$build/bench/make_json_wav" ixml "$work/ixml_ref.wav" $((1 << 20)) reference >/dev/null
"$build/bench/make_json_wav" bext "$work/bext_1m.wav" $((1 << 20))

folders=("$root/tests/data" "$root/fuzz/corpus" "$work")
[ -d "$fixtures" ] && folders+=("$fixtures")
"$root/tools/same_output.sh" "$old" "$new" "${folders[@]}"
