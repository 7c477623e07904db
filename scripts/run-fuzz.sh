#!/usr/bin/env bash
# Runs every libFuzzer target built in BUILD_DIR (fuzz_<name>) on its seed
# corpus fuzz/corpus/<name>/, with fuzz/<name>.dict when there is one, passing
# the remaining arguments to libFuzzer:
#
#   scripts/run-fuzz.sh build-fuzz -runs=20000 -seed=1   # short, reproducible
#   scripts/run-fuzz.sh build-fuzz -max_total_time=300   # long
#
# New inputs go to a scratch corpus beside the build (BUILD_DIR/corpus/<name>),
# so the checked-in seeds change only by hand; a crashing input is written to
# BUILD_DIR/<name>-crash-*. Prints the number of inputs each target ran and
# exits non-zero if any target failed.
set -euo pipefail

[[ $# -ge 1 ]] || { echo "usage: $0 BUILD_DIR [libFuzzer options...]" >&2; exit 2; }
build="$(cd "$1" && pwd)"
shift
root="$(cd "$(dirname "$0")/.." && pwd)"

failed=()
count=0
for binary in "$build"/fuzz_*; do
    [[ -f "$binary" && -x "$binary" ]] || continue
    name="${binary##*/fuzz_}"
    seeds="$root/fuzz/corpus/$name"
    scratch="$build/corpus/$name"
    log="$build/$name.log"
    mkdir -p "$scratch"
    options=(-timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1
             -artifact_prefix="$build/$name-")
    [[ -f "$root/fuzz/$name.dict" ]] && options+=(-dict="$root/fuzz/$name.dict")
    corpora=("$scratch")
    [[ -d "$seeds" ]] && corpora+=("$seeds")
    count=$((count + 1))
    if "$binary" "${options[@]}" "$@" "${corpora[@]}" >"$log" 2>&1; then
        runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)"
        seconds="$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n1)"
        printf 'fuzz_%s: %s inputs in %s s, no finding\n' "$name" "${runs:-?}" "${seconds:-?}"
    else
        failed+=("$name")
        printf 'fuzz_%s: FAILED (log: %s)\n' "$name" "$log"
        tail -n 60 "$log"
    fi
done

[[ $count -gt 0 ]] || { echo "no fuzz targets in $build" >&2; exit 1; }
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "fuzz targets with findings: ${failed[*]}" >&2
    exit 1
fi
echo "all $count fuzz targets ran clean"
