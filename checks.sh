#!/bin/sh
# Static checks over torvex's own code (not tests, not fuzz targets):
# clang-tidy with the rules in .clang-tidy, then cppcheck. Exits non-zero on
# any finding. Usage: ./checks.sh   (TORVEX_TIDY_BUILD: build directory for
# compile_commands.json, default build-tidy; TORVEX_CHECK_JOBS: default 2)
set -eu

root=$(cd "$(dirname "$0")" && pwd)
build=${TORVEX_TIDY_BUILD:-$root/build-tidy}
jobs=${TORVEX_CHECK_JOBS:-2}
cd "$root"

sources=$(ls torvex.cpp run/*.cpp serial/*.cpp script/*.cpp clock/*.cpp \
    platform/posix/[cfknpt]*.cpp platform/posix/speed_linux.cpp platform/net_port.cpp remote/*.cpp tools/*.cpp tools/sim/*.cpp tools/ports/ports.cpp tools/ports/linux.cpp tools/ports/watch_linux.cpp tools/check/*.cpp 2>/dev/null || true)
sources="$sources $(ls tools/rack/*.cpp tools/rack/posix/*.cpp | grep -v _none)"

# Compile commands of a plain Linux build; only configuring is needed.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTORVEX_TESTS=OFF \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

status=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# clang-tidy counts the warnings it hid in system headers; only findings matter.
show_findings() {
    grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log" || true
}

echo "clang-tidy ($jobs at a time)"
# shellcheck disable=SC2086
if ! printf '%s\n' $sources | xargs -P "$jobs" -n 1 clang-tidy -p "$build" --quiet >"$log" 2>&1; then
    status=1
fi
show_findings

# The Win32 platform file, against the mingw-w64 headers when they are installed.
mingw_cxx=""
for dir in /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++; do
    if [ -d "$dir" ]; then
        mingw_cxx=$dir
        break
    fi
done
if [ -d platform/win32 ]; then
    if [ -n "$mingw_cxx" ]; then
        if ! ls platform/win32/*.cpp tools/ports/win32.cpp tools/rack/win32/*.cpp |
            xargs -P "$jobs" -I{} clang-tidy --quiet {} -- --target=x86_64-w64-mingw32 -std=c++17 -I"$root" -I"$root/tools/rack" \
                -isystem "$mingw_cxx" -isystem "$mingw_cxx/x86_64-w64-mingw32" -isystem "$mingw_cxx/backward" \
                >"$log" 2>&1; then
            status=1
        fi
        show_findings
    else
        echo "clang-tidy: no mingw-w64 headers, platform/win32/ left to cppcheck"
    fi
fi

# useStlAlgorithm: the code is procedural C-style by design; a plain loop over
# a table is what it is meant to read like.
cppcheck_run() {
    cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
        --std=c++17 --language=c++ -I "$root" --quiet --suppress=useStlAlgorithm \
        --template='{file}:{line}: {severity}: {message} [{id}]' "$@"
}

echo "cppcheck"
# shellcheck disable=SC2086
if ! cppcheck_run --library=posix -I "$root/tools/rack" $sources; then
    status=1
fi
# Apart from the POSIX files: each Win32 file has a POSIX twin, and no build links both.
if [ -d platform/win32 ]; then
    if ! cppcheck_run --library=windows -I "$root/tools/rack" platform/win32/*.cpp tools/ports/win32.cpp tools/rack/win32/*.cpp; then
        status=1
    fi
fi

if [ "$status" -ne 0 ]; then
    echo "static checks: findings above"
    exit 1
fi
echo "static checks passed"
