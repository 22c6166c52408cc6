#!/bin/sh
# make test-windows: builds the 32-bit Windows program and its suite, checks what the program
# imports and its size, and runs the suite under Wine (unit tests through ctest's emulator, the
# end-to-end driver on the program). Where this machine cannot run 32-bit programs (some kernels
# and sandboxes leave that out), the same sources are built for 64-bit Windows and run under
# 64-bit Wine instead, and the run says so.
set -eu
JOBS=${JOBS:-2}
WIN_BUILD=${WIN_BUILD:-build-win32}
WIN64_BUILD=${WIN64_BUILD:-build-win64}
started=$(date +%s)

configure() { # folder triple
    [ -f "$1/CMakeCache.txt" ] || cmake -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw.cmake \
        -DROZBAL_MINGW_TRIPLE="$2" -DCMAKE_BUILD_TYPE=Release >/dev/null
}

# The suite runs where 32-bit programs can; elsewhere only the shipped program is built 32-bit.
can_run_32=no
/lib/ld-linux.so.2 --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine ] && can_run_32=yes
configure "$WIN_BUILD" i686-w64-mingw32
if [ $can_run_32 = yes ]; then
    cmake --build "$WIN_BUILD" -j "$JOBS"
else
    cmake --build "$WIN_BUILD" --target rozbal -j "$JOBS"
fi

# The shipped program: system DLLs only (Wine would also serve a zlib1.dll; bcrypt.dll, the system's
# crypto, is there since Windows Vista), at most 560 000 bytes with every method.
exe=$WIN_BUILD/bin/rozbal.exe
size=$(stat -c %s "$exe")
imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
echo "rozbal.exe: $size bytes, imports: $imports"
for dll in $imports; do
    case $dll in
    kernel32.dll | user32.dll | advapi32.dll | shlwapi.dll | shell32.dll | msvcrt.dll | bcrypt.dll) ;;
    *) echo "rozbal.exe imports $dll, which Windows does not ship" >&2; exit 1 ;;
    esac
done
[ "$size" -le 560000 ] || { echo "rozbal.exe is $size bytes, over 560000" >&2; exit 1; }

# Wine in a prefix of the build folder, warmed up before anything reads its output (its services
# inherit the first call's stdout); a UTF-8 locale set, since Wine falls back to ASCII names without.
export LANG=C.UTF-8 LC_ALL=C.UTF-8 WINEDEBUG=-all,err+module
if [ $can_run_32 = yes ]; then
    run_build=$WIN_BUILD wine=wine arch=win32
else
    echo "note: this machine cannot run 32-bit programs (or has no 32-bit Wine); the suite runs on the 64-bit build under 64-bit Wine"
    configure "$WIN64_BUILD" x86_64-w64-mingw32
    cmake --build "$WIN64_BUILD" -j "$JOBS"
    run_build=$WIN64_BUILD wine=/usr/lib/wine/wine64 arch=win64
fi
# Which program the suite runs, said at its start and again with the outcome: the shipped 32-bit one
# where this machine can run it, else its 64-bit build.
ran="$run_build/bin/rozbal.exe ($(objdump -f "$run_build/bin/rozbal.exe" |
    sed -n 's/.*file format //p'), under $wine)"
echo "test-windows: the suite runs $ran"
export WINEPREFIX="$PWD/$run_build/wineprefix" WINEARCH=$arch ROZBAL_WINE=$wine
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 || true
$wine cmd /c ver >/dev/null 2>&1 </dev/null
status=0
(cd "$run_build" && ctest --output-on-failure -j "$JOBS" </dev/null) || status=$?
# The shipped program's own rows that need no Wine, where the suite ran its 64-bit build.
if [ $can_run_32 = no ]; then
    python3 tests/windows/wine_end_to_end.py "$exe" "$PWD" WineRun.test_manifest_version_and_address_space \
        WineRun.test_program_imports_only_system_libraries </dev/null || status=$?
fi
wineserver -k >/dev/null 2>&1 || true
echo "test-windows: $(($(date +%s) - started)) s, ran $ran"
exit $status
