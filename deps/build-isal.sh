#!/bin/sh
# Builds ISA-L's streaming inflate and its CRC-32 (the gzip polynomial) from Debian's source package:
# the inflate C file, its assembler block decoders and lookup table, and the CRC's carry-less
# multiply variants. Nothing of the compressor, and no other checksum: the library's own dispatchers
# reach into every CRC it has, so deps/isal-glue.c picks the CRC variant itself and gives inflate the
# two helpers it would otherwise take from the compressor's file. x86-64 Linux only (the assembler
# is 64-bit); needs nasm.
#
#   deps/build-isal.sh
#
# Installs $ROZBAL_DEPS_WORK/linux-isal/{include,lib} (default build-deps/linux-isal): libisal.a,
# igzip_lib.h and crc.h.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
work=${ROZBAL_DEPS_WORK:-build-deps}
mkdir -p "$work"
work=$(cd "$work" && pwd)
cc=${CC:-gcc}
ar=${AR:-ar}
command -v nasm >/dev/null 2>&1 || { echo "build-isal: nasm not found (apt-get install nasm)" >&2; exit 1; }
[ "$(uname -m)" = x86_64 ] || { echo "build-isal: x86-64 only" >&2; exit 1; }

source=$(ROZBAL_DEPS_WORK=$work sh "$here/fetch-source.sh" libisal=2.30.0 | sed -n 's|^libisal \(/.*\)|\1|p')
[ -n "$source" ] || { echo "build-isal: no libisal source tree" >&2; exit 1; }

prefix=$work/linux-isal
objects=$work/obj/linux-isal
rm -rf "$objects" "$prefix"
mkdir -p "$prefix/include" "$prefix/lib" "$objects"

include="-I$source -I$source/igzip -I$source/crc -I$source/include"
# The assembler may use every instruction set the library has code for; which code runs is chosen
# at run time by what the processor has.
asm_flags="-f elf64 $include -DAS_FEATURE_LEVEL=10 -DHAVE_AS_KNOWS_AVX512"
# NO_STATIC_INFLATE_H: the fixed Huffman tables are built per block instead of being 42 KB of
# precomputed data (fixed blocks are rare in big entries, the only ones that reach this code).
c_flags="-Os -fPIC -ffunction-sections -fdata-sections -DNDEBUG -DNO_STATIC_INFLATE_H -w $include"

"$cc" $c_flags -c "$source/igzip/igzip_inflate.c" -o "$objects/igzip_inflate.o"
"$cc" $c_flags -c "$source/igzip/adler32_base.c" -o "$objects/adler32_base.o"
"$cc" $c_flags -c "$source/crc/crc_base.c" -o "$objects/crc_base.o"
"$cc" $c_flags -c "$here/isal-glue.c" -o "$objects/isal-glue.o"
for file in igzip/igzip_decode_block_stateless_01.asm igzip/igzip_decode_block_stateless_04.asm \
    igzip/igzip_inflate_multibinary.asm igzip/rfc1951_lookup.asm \
    crc/crc32_gzip_refl_by8.asm crc/crc32_gzip_refl_by8_02.asm crc/crc32_gzip_refl_by16_10.asm; do
    nasm $asm_flags -o "$objects/$(basename "$file" .asm).o" "$source/$file"
done
"$ar" rcs "$prefix/lib/libisal.a" "$objects"/*.o
cp "$source/include/igzip_lib.h" "$source/include/crc.h" "$prefix/include/"
rm -rf "$objects"
echo "build-isal: $prefix/lib/libisal.a ($(wc -c < "$prefix/lib/libisal.a") bytes)"
