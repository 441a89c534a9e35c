#!/bin/sh
# Builds the libFuzzer targets and runs each one for a bounded time on a copy
# of its seed corpus, so that nothing is added to the source tree.
# Usage: fuzz/run.sh [seconds per target, default 30]   or   fuzz/run.sh --build
# (build the targets, run none). Environment: TORVEX_FUZZ_BUILD (build
# directory, default build-fuzz), TORVEX_FUZZ_TARGETS (space-separated subset
# of the targets), TORVEX_FUZZ_JOBS (targets run at once, default 2).
# Exits non-zero when any target crashes, leaks, times out or breaks a check.
set -eu

seconds=${1:-30}
jobs=${TORVEX_FUZZ_JOBS:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TORVEX_FUZZ_BUILD:-$root/build-fuzz}
targets=${TORVEX_FUZZ_TARGETS:-fuzz_modem_line fuzz_command fuzz_response fuzz_labels fuzz_cmdline fuzz_check fuzz_telnet fuzz_rack}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTORVEX_FUZZ=ON -DTORVEX_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_all -j2
# The checker against the run: with the others unless a subset was named, and
# built apart from fuzz_all.
if [ -z "${TORVEX_FUZZ_TARGETS:-}" ]; then
    targets="$targets fuzz_differential"
fi
case " $targets " in
*" fuzz_differential "*) cmake --build "$build" --target fuzz_differential -j2 ;;
esac

[ "$seconds" = "--build" ] && exit 0

# One target: its result line, then what went wrong, in $work/result.
fuzz_one() {
    target=$1
    work="$build/fuzz-run/$target"
    {
        printf '%s: %s s ... ' "$target" "$seconds"
        # -timeout: one input running for 10 s counts as a hang, and so as a failure.
        if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -dict="$root/fuzz/torvex.dict" -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
            "$work/corpus" >"$work/log" 2>&1; then
            runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
            echo "ok, $runs runs"
        else
            echo "FAILED (log: $work/log)"
            grep -E 'ERROR:|runtime error:|check failed|SUMMARY:|Test unit written' "$work/log" | head -n 20 || true
        fi
    } >"$work/result"
}

# Each target on a core of its own, $jobs at a time; results in the targets' order.
# shellcheck disable=SC2086
set -- $targets
while [ $# -gt 0 ]; do
    n=0
    while [ $# -gt 0 ] && [ "$n" -lt "$jobs" ]; do
        work="$build/fuzz-run/$1"
        rm -rf "$work"
        mkdir -p "$work/corpus" "$work/artifacts"
        cp "$root/fuzz/corpus/$1/"* "$work/corpus/"
        fuzz_one "$1" &
        n=$((n + 1))
        shift
    done
    wait
done
failed=""
for target in $targets; do
    cat "$build/fuzz-run/$target/result"
    if ! head -n 1 "$build/fuzz-run/$target/result" | grep -q ' ok, '; then
        failed="$failed $target"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzzing failed:$failed"
    exit 1
fi
echo "fuzzing passed"
