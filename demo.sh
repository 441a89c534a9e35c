#!/bin/sh
# Builds torvex and runs an example script against the device simulator:
#   ./demo.sh [script]      (examples/signal.txt when none is given)
# On a fresh Debian machine it first installs what the build needs.
# Exits with torvex's own exit status.
set -eu

cd "$(dirname "$0")"
BUILD=${TORVEX_BUILD_DIR:-build}
SCRIPT=${1:-examples/signal.txt}

missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
command -v make >/dev/null 2>&1 || missing="$missing make"
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then
        SUDO=sudo
    fi
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -q --no-install-recommends $missing
fi

# A build directory set up before (for the tests, say) is kept as it is.
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD" -DTORVEX_TESTS=OFF
fi
cmake --build "$BUILD" --target torvex torvex-sim -j 2

tmp=$(mktemp -d)
sim_pid=""
# shellcheck disable=SC2317  # called by the trap
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

port="$tmp/ttyTORVEX"
"$BUILD/tools/torvex-sim" --link "$port" --answers examples/counter.answers --log >"$tmp/sim.out" 2>"$tmp/sim.log" </dev/null &
sim_pid=$!
tries=0
while [ ! -L "$port" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 50 ] || ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "The device simulator did not start:" >&2
        cat "$tmp/sim.log" >&2
        exit 1
    fi
    sleep 0.1
done
cat "$tmp/sim.out"

echo
echo "\$ $BUILD/torvex $SCRIPT -PORT=$port"
status=0
"$BUILD/torvex" "$SCRIPT" "-PORT=$port" </dev/null || status=$?
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
echo
echo "torvex exit status: $status"
echo
echo "What the simulator saw (< received, > answered, * opened or closed):"
sed 's/^torvex-sim: /  /' "$tmp/sim.log"
exit "$status"
