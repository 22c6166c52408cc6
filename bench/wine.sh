#!/bin/sh
# The Windows program's wall time under Wine: its build with worker threads against its one-thread
# build, on the bench corpus's many-file (small) and big-file (big) shapes, deflated by Info-ZIP zip.
#
#   bench/wine.sh [OUT]        (normally through `make bench-windows`; OUT defaults to build/bench)
#
# Environment: RUNS (counted rounds each, default 5), WORK (a tmpfs folder for the programs and what
# they extract, default /dev/shm), SHAPES (default "small big"), JOBS. The 32-bit program runs where
# this machine has 32-bit Wine, else its 64-bit build (as in make test-windows). Prints the fastest
# and the median round of each.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=${1:-$HERE/../build/bench}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
RUNS=${RUNS:-5}
WORK=${WORK:-/dev/shm}
SHAPES=${SHAPES:-small big}
JOBS=${JOBS:-2}

if /lib/ld-linux.so.2 --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine ]; then
    triple=i686-w64-mingw32 wine=wine arch=win32
else
    triple=x86_64-w64-mingw32 wine=/usr/lib/wine/wine64 arch=win64
fi
for workers in 0 1; do
    dir=$OUT/$arch-stub-$workers
    [ -f "$dir/CMakeCache.txt" ] || cmake -S "$HERE/.." -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw.cmake \
        -DROZBAL_MINGW_TRIPLE=$triple -DCMAKE_BUILD_TYPE=Release -DROZBAL_TESTS=OFF -DROZBAL_WORKERS=$workers >/dev/null
    cmake --build "$dir" --target rozbal -j "$JOBS" >/dev/null
done
make -s -C "$HERE" OUT="$OUT" tools >/dev/null
SHAPES=$SHAPES KINDS=deflate sh "$HERE/make-corpus.sh" "$OUT" >/dev/null

export WINEPREFIX=$OUT/wineprefix-$arch WINEARCH=$arch WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 || true
$wine cmd /c ver >/dev/null 2>&1 </dev/null
box=$(mktemp -d "$WORK/rozbal-wine-bench.XXXXXX")
trap 'rm -rf "$box"; wineserver -k >/dev/null 2>&1 || true' EXIT
echo "Wall time under $wine ($arch build), seconds, fastest and median of $RUNS (workers: 0 = one per processor)"
for shape in $SHAPES; do
    for workers in 0 1; do
        program=$box/$shape-$workers.exe
        cat "$OUT/$arch-stub-$workers/bin/rozbal.exe" "$OUT/zips/$shape-deflate.zip" >"$program"
        times=""
        for round in $(seq "$RUNS"); do
            rm -rf "${program%.exe}"
            start=$(date +%s.%N)
            echo a | $wine "$program" >/dev/null
            times="$times $(awk -v start="$start" -v end="$(date +%s.%N)" 'BEGIN {print end - start}')"
        done
        printf '%s\t%s\n' "$shape workers=$workers" "$(printf '%s\n' $times | sort -n |
            awk '{t[NR] = $1} END {printf "%.2f\t%.2f", t[1], t[int((NR + 1) / 2)]}')"
        rm -rf "${program%.exe}" "$program"
    done
done
