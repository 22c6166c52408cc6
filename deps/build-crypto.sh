#!/bin/sh
# Builds the crypto library under the stub's AES decryption (AES encryption for the counter mode,
# SHA-1, HMAC, PBKDF2) from Debian's source package: nettle, pinned, configured without the public-key
# part, and of it only the objects the cipher links. Installs its headers and a static library:
#
#   deps/build-crypto.sh linux|win32|win64...
#
#   linux  gcc, x86-64: a fat build, choosing AES-NI and SHA-NI code at run time where the processor
#          has them, the plain code elsewhere (build-deps/linux/{include,lib})
#   win32  i686-w64-mingw32-gcc-posix: the 32-bit x86 code (build-deps/win32/{include,lib})
#   win64  x86_64-w64-mingw32-gcc-posix, fat as on Linux: for the suite where 32-bit Wine cannot run
#
# C files at -Os with a section each (the assembly carries the time), so the stub's --gc-sections
# keeps only what it calls. Each platform is built once: build-deps/PLATFORM/lib/.nettle-VERSION says
# it is done, and a run that finds every stamp does nothing. Needs apt-get, dpkg-source (dpkg-dev),
# m4 and make.
set -eu

version=3.8.1
here=$(cd "$(dirname "$0")" && pwd)
ROZBAL_DEPS_WORK=${ROZBAL_DEPS_WORK:-$(dirname "$here")/build-deps}
export ROZBAL_DEPS_WORK
work=$ROZBAL_DEPS_WORK

# What the cipher calls and what that calls in turn, whatever the processor.
objects="aes128-set-encrypt-key aes192-set-encrypt-key aes256-set-encrypt-key aes128-encrypt aes192-encrypt
    aes256-encrypt aes-set-key-internal aes-encrypt-internal aes-encrypt-table hmac hmac-sha1 pbkdf2
    pbkdf2-hmac-sha1 sha1 sha1-compress sha1-meta memxor memxor3 memeql-sec write-be32"
# The x86-64 fat build's run-time choice: its table names every variant of the functions it chooses
# between, decryption and the GCM hash included.
fatObjects="fat-x86_64 cpuid aes128-encrypt-2 aes192-encrypt-2 aes256-encrypt-2 aes128-decrypt aes192-decrypt
    aes256-decrypt aes128-decrypt-2 aes192-decrypt-2 aes256-decrypt-2 aes-decrypt-internal aes-decrypt-table
    cbc cbc-aes128-encrypt cbc-aes192-encrypt cbc-aes256-encrypt cbc-aes128-encrypt-2 cbc-aes192-encrypt-2
    cbc-aes256-encrypt-2 ghash-set-key ghash-set-key-2 ghash-update ghash-update-2 memxor-2 sha1-compress-2
    sha256-compress sha256-compress-2"

fail() {
    echo "build-crypto: $*" >&2
    exit 1
}

[ $# -gt 0 ] || fail "usage: deps/build-crypto.sh linux|win32|win64..."
wanted=
for platform in "$@"; do
    [ -f "$work/$platform/lib/.nettle-$version" ] || wanted="$wanted $platform"
done
[ -n "$wanted" ] || exit 0
for tool in m4 make; do
    command -v $tool >/dev/null 2>&1 || fail "$tool not found; install it with: apt-get install $tool"
done

echo "build-crypto: installing nettle $version (AES, SHA-1, HMAC, PBKDF2; LGPL-3.0+ or GPL-2.0+) for$wanted," \
    "built from Debian's source package, into $work"
source=$(sh "$here/fetch-source.sh" "nettle=$version" | tail -1)
source=${source#nettle }
[ -f "$source/configure" ] || fail "no nettle source tree at $source"

for platform in $wanted; do
    case $platform in
    linux)
        cc=gcc host=
        list="$objects $fatObjects"
        ;;
    win32)
        cc=i686-w64-mingw32-gcc-posix host=i686-w64-mingw32
        command -v $cc >/dev/null 2>&1 || fail "$cc not found; install it with: apt-get install gcc-mingw-w64-i686-posix"
        list=$objects
        ;;
    win64)
        cc=x86_64-w64-mingw32-gcc-posix host=x86_64-w64-mingw32
        command -v $cc >/dev/null 2>&1 || fail "$cc not found; install it with: apt-get install gcc-mingw-w64-x86-64-posix"
        list="$objects $fatObjects"
        ;;
    *) fail "unknown platform $platform (linux, win32 or win64)" ;;
    esac
    prefix=$work/$platform
    stamp=$prefix/lib/.nettle-$version
    echo "build-crypto: building for $platform in $work/build/nettle-$platform"
    build=$work/build/nettle-$platform
    rm -rf "$build"
    mkdir -p "$build" "$prefix/lib"
    (
        cd "$build"
        # Position-independent code: the test programs are PIE executables.
        "$source/configure" ${host:+--host=$host} --prefix="$prefix" --disable-shared --disable-public-key \
            --disable-documentation --disable-openssl --disable-gcov CC="$cc" \
            CFLAGS="-Os -ffunction-sections -fdata-sections" >configure.log 2>&1 ||
            fail "configure failed for $platform, see $build/config.log"
        # shellcheck disable=SC2086
        files=$(for o in $list; do printf '%s.o ' "$o"; done)
        # shellcheck disable=SC2086
        nice make -s $files >make.log 2>&1 || fail "make failed for $platform, see $build/make.log"
        rm -f libnettle.a
        # shellcheck disable=SC2086
        ${host:+$host-}ar rcs libnettle.a $files
        make -s install-headers >>make.log 2>&1 || fail "installing the headers failed, see $build/make.log"
    ) || exit 1
    cp "$build/libnettle.a" "$prefix/lib/libnettle.a"

    # Every function the cipher calls must link from these objects alone.
    cat >"$build/probe.c" <<'EOF'
#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <nettle/memxor.h>
#include <nettle/pbkdf2.h>
int main(void) {
    unsigned char key[66] = {0}, block[32] = {0}, digest[SHA1_DIGEST_SIZE];
    struct aes128_ctx a128;
    struct aes192_ctx a192;
    struct aes256_ctx a256;
    struct hmac_sha1_ctx mac;
    pbkdf2_hmac_sha1(3, (const unsigned char *)"abc", 1000, 16, key, sizeof key, key);
    aes128_set_encrypt_key(&a128, key);
    aes128_encrypt(&a128, 16, block, block);
    aes192_set_encrypt_key(&a192, key);
    aes192_encrypt(&a192, 16, block, block);
    aes256_set_encrypt_key(&a256, key);
    aes256_encrypt(&a256, 16, block, block);
    memxor(block, block + 16, 16);
    hmac_sha1_set_key(&mac, 32, key + 32);
    hmac_sha1_update(&mac, sizeof block, block);
    hmac_sha1_digest(&mac, sizeof digest, digest);
    return memeql_sec(digest, block, 10);
}
EOF
    $cc -Os -I"$prefix/include" "$build/probe.c" "$prefix/lib/libnettle.a" -o "$build/probe" >"$build/probe.log" 2>&1 ||
        fail "the library misses a function the cipher calls, see $build/probe.log"
    echo "$version" >"$stamp"
done
