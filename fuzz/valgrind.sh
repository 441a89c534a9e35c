#!/bin/sh
# Runs a plain build of torvex under valgrind memcheck for a short script
# against a pseudo-terminal that echoes each burst it receives and answers OK.
# Fails on any invalid access, any definitely lost block, or a run that does
# not reach the end of the script.
# Usage: fuzz/valgrind.sh   (TORVEX_VALGRIND_BUILD: build directory, default build-valgrind)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TORVEX_VALGRIND_BUILD:-$root/build-valgrind}

cmake -S "$root" -B "$build" -DTORVEX_TESTS=OFF >/dev/null
cmake --build "$build" --target torvex -j2

work=$(mktemp -d)
device_pid=""
cleanup() {
    if [ -n "$device_pid" ]; then
        kill "$device_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The device: once the line has been quiet for 0.2 s, send back what came
# (the echo) followed by an OK line. The slave end stays open here so that
# the master can be read before torvex opens the port.
cat >"$work/device.py" <<'EOF'
import os, select, sys
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
pending = b""
while True:
    ready, _, _ = select.select([master], [], [], 0.2)
    if ready:
        try:
            pending += os.read(master, 4096)
        except OSError:
            sys.exit(0)
    elif pending:
        os.write(master, pending + b"\r\nOK\r\n")
        pending = b""
EOF
python3 -u "$work/device.py" >"$work/port" &
device_pid=$!
for _ in 1 2 3 4 5 6 7 8 9 10; do
    [ -s "$work/port" ] && break
    sleep 0.2
done
port=$(cat "$work/port")

# Every kind of line: plain and proprietary commands, the shorthand, the clock
# command, labels and jumps, conditions, messages, a prompt (answered by the end
# of standard input), a line longer than one read, and a last line without a line end.
long=$(printf 'AT%0400d' 0)
printf '%s\r\n' \
    '#debug' \
    'ATZ' \
    '^QRTC: 1' \
    '#UTC' \
    '^qrtc=anything' \
    '#nodebug' \
    ':again' \
    'AT+CSQ' \
    '#if (OK) next' \
    '#print not reached' \
    ':next' \
    '#if (>10) again' \
    '#if (=0) nowhere' \
    '#goto missing' \
    '#prompt Press a key' \
    '#if (Y) again' \
    '#wait 0' \
    '#timeout 5' \
    '#bell' \
    "$long" \
    '#print done' >"$work/script.txt"
printf 'ATI' >>"$work/script.txt"

status=0
valgrind --error-exitcode=9 --leak-check=full --errors-for-leak-kinds=definite \
    "$build/torvex" "$work/script.txt" -PORT="$port" </dev/null >"$work/out" 2>"$work/valgrind" || status=$?
cat "$work/out"
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|still reachable|Invalid|uninitialised' "$work/valgrind" || true
if [ "$status" -ne 0 ]; then
    cat "$work/valgrind"
    echo "valgrind run failed: exit status $status"
    exit 1
fi
echo "valgrind run passed"
