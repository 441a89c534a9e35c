#!/usr/bin/env bash
# Builds torvex for Linux and for Windows (mingw-w64) and runs every test:
# unit tests in both builds (Windows under Wine), the pseudo-terminal and
# end-to-end tests against both programs, a run on real serial drivers in
# QEMU, a sanitizer build of the suite, short fuzz runs, static analysis and
# a valgrind run.
# Installs what is missing with apt-get on a fresh Debian machine.
set -uo pipefail
cd "$(dirname "$0")" || exit 1
top=$PWD

packages=(cmake make g++ libgtest-dev googletest g++-mingw-w64-x86-64-posix wine wine64
          clang libclang-rt-14-dev valgrind cppcheck clang-tidy python3 ser2net
          libxml2-utils libsqlite3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null || exit 1
fi

# Every simulator and station watches with inotify: the tests run many at
# once, more than the usual 128 instances.
if [[ $(cat /proc/sys/fs/inotify/max_user_instances 2>/dev/null || echo 0) -lt 1024 ]]; then
  sysctl -q -w fs.inotify.max_user_instances=1024 2>/dev/null || true
fi

passed=0
failed=0
summary=()
# Runs ctest in a build folder and adds its counts to the totals.
run_ctest() {
  local dir=$1 name=$2; shift 2
  local log="$dir/ctest.log"
  (cd "$dir" && ctest --output-on-failure "$@") 2>&1 | tee "$log" | grep -E -v '^ +Start |Test +#[0-9]+: .* Passed' || true
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    local f=${BASH_REMATCH[1]} t=${BASH_REMATCH[2]}
    passed=$((passed + t - f)); failed=$((failed + f))
    summary+=("$name: $((t - f)) passed, $f failed")
  else
    failed=$((failed + 1)); summary+=("$name: no result")
  fi
}
# Each step's time, printed at the end: which part of a slow run was slow.
times=()
step_name=
step_start=$SECONDS
step() {
  if [[ -n $step_name ]]; then
    local took=$((SECONDS - step_start))
    times+=("$(printf '%3d:%02d  %s' $((took / 60)) $((took % 60)) "$step_name")")
  fi
  step_name=$*
  step_start=$SECONDS
  printf '\n== %s\n' "$*"
}
check() {  # a step outside ctest: counted as one test
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); summary+=("$name: passed")
  else failed=$((failed + 1)); summary+=("$name: FAILED"); fi
}
# The tests mostly wait on devices and timers (the cores are four fifths
# idle), so the static analysis runs beside the sanitizer tests, niced: the
# tests must pass beside two busy processes anyway. Not beside the Wine tests,
# where a torvex.exe once took over 20 s to open its port with builds beside.
# beside LOG CMD... starts one; joined LOG waits for it and prints its log,
# with its exit status.
declare -A beside_pid
beside() {
  local log=$1; shift
  (renice -n 10 -p "$BASHPID" >/dev/null; "$@") >"$log" 2>&1 &
  beside_pid[$log]=$!
}
joined() {
  local log=$1 status=0
  wait "${beside_pid[$log]}" || status=$?
  cat "$log"
  return $status
}

export WINEPREFIX="$top/build-win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# One Wine server and its services for every run below, started here with no
# pipe of ours: a service started by a test would inherit the test's output
# and keep ctest waiting for its end.
step "Wine prefix"
mkdir -p build-win
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null' EXIT
wineboot -i </dev/null >/dev/null 2>&1

step "Windows build (mingw-w64)"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTORVEX_TESTS=ON -DTORVEX_WERROR=ON >/dev/null &&
  cmake --build build-win -j2 || exit 1
step "Windows unit tests under Wine"
# Under Wine a test process now and then fails to start or to get its
# temporary file when two start at once; a real failure fails all three times.
run_ctest build-win "Windows unit" -j2 --repeat until-pass:3

step "Linux build"
cmake -S . -B build -DTORVEX_TESTS=ON -DTORVEX_WERROR=ON -DTORVEX_WINE_EXE="$top/build-win/torvex.exe" >/dev/null &&
  cmake --build build -j2 || exit 1
step "The Linux torvex needs the C library alone"
# No C++ runtime: what the program links is what every machine has.
libc_alone() {
  local needed
  needed=$(readelf -d build/torvex | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
  echo "torvex needs: ${needed//$'\n'/ }"
  [[ $needed =~ ^libc\.so\.[0-9]+$ ]]
}
check "torvex links the C library alone" libc_alone
step "Linux tests, and the end-to-end tests against torvex.exe under Wine"
# Twelve at once: the tests mostly wait on devices and timers.
run_ctest build "Linux and Wine" -j12 --timeout 600
step "Driver test: a 16550 UART and a USB serial adapter in QEMU"
check "Driver test" tests/driver/run.sh

step "Sanitizer build"
CC=clang CXX=clang++ cmake -S . -B build-asan -DTORVEX_SANITIZE=ON >/dev/null &&
  cmake --build build-asan -j2 || exit 1
step "Sanitizer tests, address and undefined (static analysis beside them)"
beside "$top/build-asan/checks.log" ./checks.sh
run_ctest build-asan "Sanitizers" -j8 --timeout 600 -E '^wine\.'
step "Static analysis: what is left of it"
check "Static analysis" joined "$top/build-asan/checks.log"

wineserver -k 2>/dev/null
trap - EXIT

step "Fuzzing (10 s per target, two at a time)"
check "Fuzzing" fuzz/run.sh 10
step "Valgrind"
check "Valgrind" fuzz/valgrind.sh

step "Summary"
echo "Time of each step (min:s):"
printf '%s\n' "${times[@]}"
printf '%3d:%02d  %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "in all"
printf '%s\n' "${summary[@]}"
echo "all: $passed passed, $failed failed"
((failed == 0))
