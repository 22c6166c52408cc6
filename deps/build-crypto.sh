#!/bin/sh
# Builds the crypto library under the stub's AES decryption (AES encryption for the counter mode,
# SHA-1, HMAC, PBKDF2) from Debian's source package, and of it only what the cipher links. Installs
# its headers and a static library into build-deps/PLATFORM/{include,lib}:
#
#   deps/build-crypto.sh [mbedtls|nettle] linux|win32|win64|arm64...
#
#   mbedtls  the default (Apache-2.0): aes, aesni, md, pkcs5 and platform_util only, with a
#            configuration of just those (installed as its mbedtls/config.h): no platform layer, no
#            files, no standard I/O, no entropy; AES-NI chosen at run time on x86-64. Its SHA-1 is
#            OpenSSL's (Apache-2.0, Debian's static libcrypto.a; deps/sha1-from-openssl.c), which uses the
#            processor's SHA instructions where mbedtls's own is plain C; the stub links libcrypto.a
#            after it. Linux only: its Windows build insists on the platform layer, and the Windows
#            program has the system's CNG. For the aarch64 stub (arm64, aarch64-linux-gnu-gcc) mbedtls's
#            own SHA-1 and plain C AES: the cross compiler has no OpenSSL beside it, and this mbedtls
#            has no code for the ARMv8 crypto instructions.
#   nettle   (LGPL-3.0+ or GPL-2.0+, which obliges whoever hands out a stub to let its users relink
#            it), configured without the public-key part:
#     linux  gcc, x86-64: a fat build, choosing AES-NI and SHA-NI code at run time where the processor
#            has them, the plain code elsewhere
#     win32  i686-w64-mingw32-gcc-posix: the 32-bit x86 code
#     win64  x86_64-w64-mingw32-gcc-posix, fat as on Linux: for the suite where 32-bit Wine cannot run
#
# C files at -Os with a section each, so the stub's --gc-sections keeps only what it calls. Each
# library and platform is built once: build-deps/PLATFORM/lib/.LIBRARY-VERSION says it is done, and a
# run that finds every stamp does nothing. Needs apt-get and dpkg-source (dpkg-dev); nettle also m4 and make.
set -eu

nettleVersion=3.8.1
mbedtlsVersion=2.28.3
# Changes when the way it is built changes, so that build-deps is built again.
mbedtlsBuild=$mbedtlsVersion-sha1-openssl
here=$(cd "$(dirname "$0")" && pwd)
ROZBAL_DEPS_WORK=${ROZBAL_DEPS_WORK:-$(dirname "$here")/build-deps}
export ROZBAL_DEPS_WORK
work=$ROZBAL_DEPS_WORK

fail() {
    echo "build-crypto: $*" >&2
    exit 1
}

usage="usage: deps/build-crypto.sh [mbedtls|nettle] linux|win32|win64|arm64..."
library=mbedtls
case ${1:-} in
mbedtls | nettle)
    library=$1
    shift
    ;;
esac
[ $# -gt 0 ] || fail "$usage"

# The configuration the library is built with and its users compile against: what the cipher calls
# (mbedtlsConfig linux|arm64: OpenSSL's SHA-1 on linux, mbedtls's own on arm64).
# Tables in read-only data: generated ones would be made by the first key setting, unguarded, and
# entries are started on more than one thread; the fewer tables cost 6 KiB less and matter only
# without AES-NI.
mbedtlsConfig() {
    if [ "$1" = linux ]; then
        sha1="SHA-1 (from OpenSSL, see sha1_alt.h)" alt="#define MBEDTLS_SHA1_ALT"
    else
        sha1="SHA-1 (its own)" alt=
    fi
    cat <<CONFIG
/* What the stub's AES decryption uses: AES (the encryption direction, for counter mode), $sha1,
 * HMAC and PBKDF2 through the message-digest layer. No platform layer, no files, no standard I/O, no
 * entropy; the C library's calloc and free. */
#ifndef MBEDTLS_CONFIG_H
#define MBEDTLS_CONFIG_H

#if defined(__x86_64__) || defined(__amd64__)
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_AESNI_C
#endif
#define MBEDTLS_AES_ROM_TABLES
#define MBEDTLS_AES_FEWER_TABLES
#define MBEDTLS_AES_C
#define MBEDTLS_SHA1_C
$alt
#define MBEDTLS_DEPRECATED_REMOVED
#define MBEDTLS_MD_C
#define MBEDTLS_PKCS5_C

#include "mbedtls/check_config.h"

#endif
CONFIG
}

# The stamp of a platform's mbedtls build.
mbedtlsStamp() {
    case $1 in
    linux) echo "$work/linux/lib/.mbedtls-$mbedtlsBuild" ;;
    *) echo "$work/$1/lib/.mbedtls-$mbedtlsVersion-sha1-own" ;;
    esac
}

buildMbedtls() {
    wanted=
    for platform in "$@"; do
        case $platform in
        linux | arm64) ;;
        *) fail "mbedtls is built for linux and arm64 only (Windows: the system's CNG, or nettle)" ;;
        esac
        [ -f "$(mbedtlsStamp "$platform")" ] || wanted="$wanted $platform"
    done
    [ -n "$wanted" ] || return 0
    echo "build-crypto: installing mbedtls $mbedtlsVersion (AES, SHA-1, HMAC, PBKDF2; Apache-2.0) for$wanted," \
        "built from Debian's source package, into $work"
    source=$(sh "$here/fetch-source.sh" "mbedtls=$mbedtlsVersion" | tail -1)
    source=${source#mbedtls }
    [ -f "$source/library/aes.c" ] || fail "no mbedtls source tree at $source"
    for platform in $wanted; do
        if [ "$platform" = linux ]; then
            cc=gcc ar=ar nm=nm sha1=sha1_alt openssl=-l:libcrypto.a
        else
            cc=aarch64-linux-gnu-gcc ar=aarch64-linux-gnu-ar nm=aarch64-linux-gnu-nm sha1= openssl=
            command -v $cc >/dev/null 2>&1 || fail "$cc not found; install it with: apt-get install gcc-aarch64-linux-gnu"
        fi
        prefix=$work/$platform
        build=$work/build/mbedtls-$platform
        echo "build-crypto: building for $platform in $build"
        rm -rf "$build" "$prefix/include/mbedtls"
        mkdir -p "$build" "$prefix/include" "$prefix/lib"
        cp -R "$source/include/mbedtls" "$prefix/include/mbedtls"
        mbedtlsConfig "$platform" >"$prefix/include/mbedtls/config.h"
        if [ -n "$sha1" ]; then
            [ -f /usr/include/openssl/sha.h ] || fail "OpenSSL's headers are missing (libssl-dev), whose SHA-1 mbedtls uses"
            cp "$here/sha1-from-openssl.h" "$prefix/include/mbedtls/sha1_alt.h" # the name mbedtls includes
            cp "$here/sha1-from-openssl.c" "$build/sha1_alt.c"
            sha1=$build/sha1_alt
        fi
        # -Os throughout: aes, aesni and sha1 at -O2 measured the same (the AES-NI code is assembly) and
        # cost 2 KB more.
        for file in aes aesni sha1 md pkcs5 platform_util $sha1; do
            case $file in /*) ;; *) file=$source/library/$file ;; esac
            nice $cc -Os -ffunction-sections -fdata-sections -I"$prefix/include" -I"$source/library" \
                -c "$file.c" -o "$build/${file##*/}.o" 2>>"$build/make.log" ||
                fail "compiling $file.c failed, see $build/make.log"
        done
        rm -f "$build/libmbedcrypto.a"
        $ar rcs "$build/libmbedcrypto.a" "$build"/*.o
        # Nothing but memory and string functions from the C library, and OpenSSL's SHA-1.
        outside=$($nm -u "$build/libmbedcrypto.a" | sed -n 's/^ *U //p' | sort -u |
            grep -v -x -e 'mbedtls_.*' -e 'calloc' -e 'free' -e 'memcpy' -e 'memset' -e 'memcmp' -e 'memmove' \
                -e 'strlen' -e 'strcmp' -e 'SHA1_Init' -e 'SHA1_Update' -e 'SHA1_Final' -e 'SHA1_Transform' || true)
        [ -z "$outside" ] || fail "the library calls" $outside
        cp "$build/libmbedcrypto.a" "$prefix/lib/libmbedcrypto.a"

        # Every function the cipher calls must link from these objects alone.
        cat >"$build/probe.c" <<'PROBE'
#include <mbedtls/aes.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
int main(void) {
    unsigned char key[66] = {0}, block[16] = {0}, digest[20];
    mbedtls_aes_context aes;
    mbedtls_md_context_t md;
    mbedtls_aes_init(&aes);
    mbedtls_md_init(&md);
    int failed = mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), 1) ||
                 mbedtls_pkcs5_pbkdf2_hmac(&md, (const unsigned char *)"abc", 3, key, 16, 1000, sizeof key, key) ||
                 mbedtls_aes_setkey_enc(&aes, key, 256) ||
                 mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, block, block) ||
                 mbedtls_md_hmac_starts(&md, key + 32, 32) || mbedtls_md_hmac_update(&md, block, sizeof block) ||
                 mbedtls_md_hmac_finish(&md, digest);
    mbedtls_md_free(&md);
    mbedtls_aes_free(&aes);
    return failed;
}
PROBE
        # The cross-built probe is linked, not run.
        $cc -Os -I"$prefix/include" "$build/probe.c" "$prefix/lib/libmbedcrypto.a" $openssl -o "$build/probe" \
            >"$build/probe.log" 2>&1 && { [ "$platform" != linux ] || "$build/probe"; } ||
            fail "the library misses a function the cipher calls, see $build/probe.log"
        rm -f "$prefix"/lib/.mbedtls-*
        basename "$(mbedtlsStamp "$platform")" | sed 's/^\.mbedtls-//' >"$(mbedtlsStamp "$platform")"
    done
}

buildNettle() {
    version=$nettleVersion
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

    wanted=
    for platform in "$@"; do
        [ -f "$work/$platform/lib/.nettle-$version" ] || wanted="$wanted $platform"
    done
    [ -n "$wanted" ] || return 0
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
}

case $library in
mbedtls) buildMbedtls "$@" ;;
nettle) buildNettle "$@" ;;
esac
