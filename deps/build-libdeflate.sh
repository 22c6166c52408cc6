#!/bin/sh
# Builds libdeflate's decompressor as a static library for the Windows program (Debian has no mingw
# build of it) and the aarch64 Linux stub (whose arm64 -dev package multiarch cannot be relied on
# for) from Debian's source package, compiling the needed C files directly.
#
#   deps/build-libdeflate.sh win32|win64|arm64
#
# Installs $ROZBAL_DEPS_WORK/PLATFORM-libdeflate/{include/libdeflate.h,lib/libdeflate.a}.
set -eu

platform=${1:-win32}
here=$(cd "$(dirname "$0")" && pwd)
work=${ROZBAL_DEPS_WORK:-build-deps}
mkdir -p "$work"
work=$(cd "$work" && pwd)

case $platform in
    win32) cc=i686-w64-mingw32-gcc-posix; ar=i686-w64-mingw32-ar ;;
    win64) cc=x86_64-w64-mingw32-gcc-posix; ar=x86_64-w64-mingw32-ar ;;
    arm64) cc=aarch64-linux-gnu-gcc; ar=aarch64-linux-gnu-ar ;;
    *) echo "build-libdeflate: platform is win32, win64 or arm64, not $platform" >&2; exit 1 ;;
esac
command -v "$cc" >/dev/null 2>&1 || { echo "build-libdeflate: $cc not found" >&2; exit 1; }

# The version the Linux program links (Debian 12's libdeflate-dev).
sources=$(ROZBAL_DEPS_WORK=$work sh "$here/fetch-source.sh" libdeflate=1.14)
printf '%s\n' "$sources" | grep -v '^[a-z0-9.-]* /' || true
src=$(printf '%s\n' "$sources" | sed -n 's|^libdeflate \(/.*\)|\1|p')

prefix=$work/$platform-libdeflate
objects=$prefix/obj
rm -rf "$objects"
mkdir -p "$prefix/include" "$prefix/lib" "$objects"
# Optimised for speed as upstream builds it (the point of the library); the decompressor only, with
# its run-time choice of BMI2 code on x86.
cpu=x86
[ "$platform" != arm64 ] || cpu=arm
for file in lib/deflate_decompress.c lib/utils.c lib/$cpu/cpu_features.c; do
    "$cc" -O2 -ffunction-sections -fdata-sections -DNDEBUG -w -I"$src" -c "$src/$file" \
        -o "$objects/$(basename "$file" .c).o"
done
rm -f "$prefix/lib/libdeflate.a"
"$ar" rcs "$prefix/lib/libdeflate.a" "$objects"/*.o
cp "$src/libdeflate.h" "$prefix/include/"
echo "build-libdeflate: $prefix/lib/libdeflate.a ($(wc -c < "$prefix/lib/libdeflate.a") bytes)"
