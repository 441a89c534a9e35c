#!/usr/bin/env bash
# Builds torvex for Linux (Release, in build-bench/), the script checker and the
# rack runner when the tree has them, the benchmark and its floor program, and uses
# the Windows build (build-win/torvex.exe, built first if missing and mingw-w64 is
# installed); then measures both, the Windows one under Wine, and prints one table.
# Extra arguments go to the benchmark, e.g. --rack 48 or --only cpu,startup.
# Environment: BENCH_WINE=0 skips Wine; BENCH_REBUILD_WIN=1 rebuilds torvex.exe first;
# BENCH_WINEPREFIX names the prefix (default build-bench/wineprefix, created on first use).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
out=$top/build-bench

echo "== Linux build (Release)" >&2
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release -DTORVEX_TESTS=OFF >/dev/null
cmake --build "$out" --target torvex -j2 >/dev/null
args=(--linux "$out/torvex" --floor "$out/tool/torvex_floor")
# Every generator lists the configured targets' folders here.
if grep -q '/torvex-check\.dir$' "$out/CMakeFiles/TargetDirectories.txt"; then
  cmake --build "$out" --target torvex-check -j2 >/dev/null
  args+=(--check "$out/tools/torvex-check")
else
  echo "== No torvex-check in this tree: the checker's row is left out" >&2
fi
if grep -q '/torvex-rack\.dir$' "$out/CMakeFiles/TargetDirectories.txt"; then
  cmake --build "$out" --target torvex-rack -j2 >/dev/null
  args+=(--rack-tool "$out/torvex-rack")
fi
echo "== Benchmark" >&2
cmake -S bench -B "$out/tool" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out/tool" -j2 >/dev/null

if [ "${BENCH_WINE:-1}" != 0 ]; then
  if [ ! -f build-win/torvex.exe ] || [ "${BENCH_REBUILD_WIN:-0}" = 1 ]; then
    if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
      echo "== Windows build (mingw-w64)" >&2
      cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
      cmake --build build-win --target torvex -j2 >/dev/null
    fi
  fi
  if [ -f build-win/torvex.exe ] && command -v wine >/dev/null; then
    # A copy, so that another build in build-win cannot swap the program mid-run.
    cp build-win/torvex.exe "$out/torvex.exe"
    echo "== Wine: build-win/torvex.exe of $(date -r build-win/torvex.exe '+%F %T')" >&2
    # A prefix of our own: no other program's wineserver or COM links share it.
    export WINEPREFIX=${BENCH_WINEPREFIX:-$out/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "== Wine prefix $WINEPREFIX (first use, about a minute)" >&2
      wineboot -i >/dev/null 2>&1 </dev/null
      wineserver -w
    fi
    # One server for every run, so start-up figures do not include starting it.
    # Wine's services keep a persistent server alive: end it (this prefix's only) at exit.
    wineserver -p >/dev/null 2>&1 </dev/null || true
    trap 'wineserver -k 2>/dev/null || true' EXIT
    wine "$out/torvex.exe" -? >/dev/null 2>&1 </dev/null || true
    args+=(--wine "$out/torvex.exe")
  else
    echo "== No torvex.exe or no Wine: Linux only" >&2
  fi
fi

echo "== Measuring (about 15 minutes); details in $out/bench.log" >&2
"$out/tool/torvex_bench" "${args[@]}" --data "$out/bench-data" --log "$out/bench.log" "$@"
