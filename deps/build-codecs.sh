#!/bin/sh
# Builds the decoder-only static libraries of bzip2, liblzma (xz and raw LZMA1) and zstd from
# Debian's source packages, compiling the needed C files directly (no configure run: faster, and
# only the decoders), optimised for size.
#
#   deps/build-codecs.sh linux|win32|win64|arm64
#
# Installs $ROZBAL_DEPS_WORK/PLATFORM/{include,lib} (default build-deps/linux, build-deps/win32...):
# libbz2.a, liblzma.a, libzstd.a and their headers, and for arm64 zlib's libz.a too. win32 needs i686-w64-mingw32-gcc-posix, win64
# (the 64-bit build for machines without 32-bit Wine) x86_64-w64-mingw32-gcc-posix, arm64 (the
# aarch64 Linux stub) aarch64-linux-gnu-gcc.
set -eu

platform=${1:-linux}
here=$(cd "$(dirname "$0")" && pwd)
work=${ROZBAL_DEPS_WORK:-build-deps}
mkdir -p "$work"
work=$(cd "$work" && pwd)
jobs=${JOBS:-2}

case $platform in
    linux) cc=${CC:-gcc}; ar=${AR:-ar} ;;
    win32) cc=i686-w64-mingw32-gcc-posix; ar=i686-w64-mingw32-ar ;;
    win64) cc=x86_64-w64-mingw32-gcc-posix; ar=x86_64-w64-mingw32-ar ;;
    arm64) cc=aarch64-linux-gnu-gcc; ar=aarch64-linux-gnu-ar ;;
    *) echo "build-codecs: platform is linux, win32, win64 or arm64, not $platform" >&2; exit 1 ;;
esac
command -v "$cc" >/dev/null 2>&1 || { echo "build-codecs: $cc not found" >&2; exit 1; }

# The versions the codecs were written and measured against.
# zlib: the version the x86-64 stub links (Debian 12's zlib1g-dev).
zlib_pin=
[ "$platform" != arm64 ] || zlib_pin=zlib=1.2.13.dfsg
sources=$(ROZBAL_DEPS_WORK=$work sh "$here/fetch-source.sh" bzip2=1.0.8 xz-utils=5.4.1 libzstd=1.5.4 $zlib_pin)
printf '%s\n' "$sources" | grep -v '^[a-z0-9.-]* /' || true
dir_of() { printf '%s\n' "$sources" | sed -n "s|^$1 \(/.*\)|\1|p"; }
bzip2=$(dir_of bzip2)
xz=$(dir_of xz-utils)
zstd=$(dir_of libzstd)

prefix=$work/$platform
objects=$work/obj/$platform
rm -rf "$objects"
mkdir -p "$prefix/include/lzma" "$prefix/lib" "$objects"

# Size first (-Os unless a library says otherwise); NDEBUG drops the libraries' own assertions.
common_flags="-ffunction-sections -fdata-sections -DNDEBUG -w"

# compile NAME FLAGS FILE... : objects under obj/PLATFORM/NAME, archived as libNAME.a.
compile() {
    name=$1; flags="-Os $2"; shift 2
    mkdir -p "$objects/$name"
    for file in "$@"; do
        printf '%s\n' "$file"
    done | xargs -P "$jobs" -I{} sh -c \
        'o="$1/$(basename "$2" | sed "s/\.[cS]$//").o"; $3 $4 -c "$2" -o "$o"' sh "$objects/$name" {} "$cc" \
        "$common_flags $flags"
    rm -f "$prefix/lib/lib$name.a"
    "$ar" rcs "$prefix/lib/lib$name.a" "$objects/$name"/*.o
    echo "build-codecs: $prefix/lib/lib$name.a ($(wc -c < "$prefix/lib/lib$name.a") bytes)"
}

# bzip2: the decompression side; BZ_NO_STDIO leaves out the FILE* calls and messages (the program
# then supplies bz_internal_error). bzlib.c holds the compression calls too, which reach into
# compress.c and blocksort.c: they are in the library so that programs linked without
# --gc-sections (the tests) resolve them; the stub's link drops them with everything unused.
compile bz2 "-DBZ_NO_STDIO" \
    "$bzip2/bzlib.c" "$bzip2/decompress.c" "$bzip2/huffman.c" "$bzip2/randtable.c" "$bzip2/crctable.c" \
    "$bzip2/compress.c" "$bzip2/blocksort.c"
cp "$bzip2/bzlib.h" "$prefix/include/"

# liblzma: .xz stream decoding (LZMA2, delta and branch filters, CRC32, CRC64 and SHA-256 checks)
# and raw LZMA1 for ZIP's LZMA method; no encoders, no threads, no .lzma/.lz container decoders.
# CRC64 by carry-less multiplication where the processor has it (picked at run time): without it
# the table version made decoding a tenth slower than xz -dc; 32 bytes more.
l=$xz/src/liblzma
lzma_flags="-std=gnu99 -DHAVE_STDINT_H -DHAVE_INTTYPES_H -DHAVE_STDBOOL_H -DHAVE__BOOL -DHAVE___BUILTIN_BSWAPXX
    -DTUKLIB_FAST_UNALIGNED_ACCESS -DLZMA_API_STATIC
    -DHAVE_DECODER_LZMA1 -DHAVE_DECODER_LZMA2 -DHAVE_DECODER_DELTA
    -DHAVE_DECODER_X86 -DHAVE_DECODER_ARM -DHAVE_DECODER_ARMTHUMB -DHAVE_DECODER_ARM64
    -DHAVE_DECODER_POWERPC -DHAVE_DECODER_IA64 -DHAVE_DECODER_SPARC
    -DHAVE_CHECK_CRC32 -DHAVE_CHECK_CRC64 -DHAVE_CHECK_SHA256
    -I$l/api -I$l/common -I$l/check -I$l/lz -I$l/rangecoder -I$l/lzma -I$l/delta -I$l/simple -I$xz/src/common"
# The carry-less multiplication is x86 code; on arm64 the table version alone.
[ "$platform" = arm64 ] || lzma_flags="$lzma_flags -DHAVE_USABLE_CLMUL -DHAVE_CPUID_H"
compile lzma "$(echo $lzma_flags)" \
    "$l/common/common.c" "$l/common/block_util.c" "$l/common/block_decoder.c" \
    "$l/common/block_header_decoder.c" "$l/common/filter_common.c" "$l/common/filter_decoder.c" \
    "$l/common/filter_flags_decoder.c" "$l/common/index_hash.c" "$l/common/stream_decoder.c" \
    "$l/common/stream_flags_common.c" "$l/common/stream_flags_decoder.c" "$l/common/vli_decoder.c" \
    "$l/common/vli_size.c" \
    "$l/check/check.c" "$l/check/crc32_fast.c" "$l/check/crc32_table.c" "$l/check/crc64_fast.c" \
    "$l/check/crc64_table.c" "$l/check/sha256.c" \
    "$l/lz/lz_decoder.c" "$l/lzma/lzma_decoder.c" "$l/lzma/lzma2_decoder.c" \
    "$l/delta/delta_common.c" "$l/delta/delta_decoder.c" \
    "$l/simple/simple_coder.c" "$l/simple/simple_decoder.c" "$l/simple/x86.c" "$l/simple/arm.c" \
    "$l/simple/armthumb.c" "$l/simple/arm64.c" "$l/simple/powerpc.c" "$l/simple/ia64.c" "$l/simple/sparc.c"
cp "$l/api/lzma.h" "$prefix/include/"
cp "$l/api/lzma/"*.h "$prefix/include/lzma/"

# zstd: lib/common and lib/decompress only, legacy formats, error strings and the larger decoding
# variants (the 4-stream Huffman decoder X2, the long-offset sequence decoder) out. Built at -O2 and
# with its inlining kept: at -Os with ZSTD_NO_INLINE it decoded in 2.3 times the CPU time of zstd -dc
# (-Os alone 1.8 times), at -O2 in 0.8 times, for 37 KB more in the program.
z=$zstd/lib
zstd_flags="-O2 -DZSTD_LEGACY_SUPPORT=0 -DHUF_FORCE_DECOMPRESS_X1 -DZSTD_FORCE_DECOMPRESS_SEQUENCES_SHORT
    -DZSTD_STRIP_ERROR_STRINGS -DZSTD_MULTITHREAD=0"
zstd_asm=
if [ "$platform" = linux ] && [ "$(uname -m)" = x86_64 ]; then
    zstd_asm=$z/decompress/huf_decompress_amd64.S
else
    zstd_flags="$zstd_flags -DZSTD_DISABLE_ASM"
fi
compile zstd "$(echo $zstd_flags)" \
    "$z/common/entropy_common.c" "$z/common/error_private.c" "$z/common/fse_decompress.c" \
    "$z/common/xxhash.c" "$z/common/zstd_common.c" \
    "$z/decompress/huf_decompress.c" "$z/decompress/zstd_ddict.c" "$z/decompress/zstd_decompress.c" \
    "$z/decompress/zstd_decompress_block.c" $zstd_asm
cp "$z/zstd.h" "$z/zstd_errors.h" "$prefix/include/"

# zlib for the aarch64 stub, which the cross compiler lacks and Debian's arm64 zlib1g-dev cannot be
# counted on to install beside it (multiarch): all of it, as Debian builds zlib1g (-O3, unaligned
# access allowed); the stub's --gc-sections keeps the inflate side and CRC-32. Elsewhere the system's
# (Linux) or mingw's (libz-mingw-w64-dev).
if [ "$platform" = arm64 ]; then
    zl=$(dir_of zlib)
    compile z "-O3 -D_REENTRANT -DUNALIGNED_OK -D_LARGEFILE64_SOURCE=1 -DHAVE_HIDDEN" \
        "$zl/adler32.c" "$zl/compress.c" "$zl/crc32.c" "$zl/deflate.c" "$zl/gzclose.c" "$zl/gzlib.c" \
        "$zl/gzread.c" "$zl/gzwrite.c" "$zl/infback.c" "$zl/inffast.c" "$zl/inflate.c" "$zl/inftrees.c" \
        "$zl/trees.c" "$zl/uncompr.c" "$zl/zutil.c"
    cp "$zl/zlib.h" "$zl/zconf.h" "$prefix/include/"
fi

rm -rf "$objects"
echo "build-codecs: installed in $prefix"
