# AES decryption (method 99), from one of three libraries (ROZBAL_CRYPTO):
#   mbedtls  the Linux default: Apache-2.0, so a stub handed out carries no duty to let its users
#            relink it; built from Debian's source package by deps/build-crypto.sh (run by `make deps`),
#            with OpenSSL's SHA-1 (also Apache-2.0) under it
#   nettle   faster (AES-NI and SHA-NI chosen at run time), but LGPL and linked statically:
#            `make deps CRYPTO=nettle`, or `sh deps/build-crypto.sh nettle linux|win32|win64`
#   cng      the Windows default: the system's bcrypt.dll, with the processor's AES and SHA instructions
#            and no code in the program; nettle's 32-bit x86 code has neither
# A library from build-deps/PLATFORM is linked statically, so the Linux stub still needs only the C
# library. ROZBAL_MINIMAL leaves AES out (and ROZBAL_AES undefined).
if(NOT ROZBAL_MINIMAL)
  if(WIN32)
    set(ROZBAL_CRYPTO cng CACHE STRING "AES from: cng (bcrypt.dll) or nettle")
    set_property(CACHE ROZBAL_CRYPTO PROPERTY STRINGS cng nettle)
  else()
    set(ROZBAL_CRYPTO mbedtls CACHE STRING "AES from: mbedtls or nettle")
    set_property(CACHE ROZBAL_CRYPTO PROPERTY STRINGS mbedtls nettle)
  endif()
  if(NOT WIN32)
    set(platform linux)
  elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(platform win64)
  else()
    set(platform win32)
  endif()
  set(ROZBAL_CRYPTO_DIR ${CMAKE_SOURCE_DIR}/build-deps/${platform} CACHE PATH
      "Where deps/build-crypto.sh installed the crypto library")

  if(ROZBAL_CRYPTO STREQUAL "cng" AND WIN32)
    target_link_libraries(rozbal_core PUBLIC bcrypt)
    target_compile_definitions(rozbal_core PUBLIC ROZBAL_AES_CNG)
  elseif(ROZBAL_CRYPTO STREQUAL "mbedtls" AND NOT WIN32)
    set(header mbedtls/pkcs5.h)
    set(library libmbedcrypto.a)
    target_compile_definitions(rozbal_core PUBLIC ROZBAL_AES_MBEDTLS)
  elseif(ROZBAL_CRYPTO STREQUAL "nettle")
    set(header nettle/pbkdf2.h)
    set(library libnettle.a)
    target_compile_definitions(rozbal_core PUBLIC ROZBAL_AES_NETTLE)
  else()
    message(FATAL_ERROR "ROZBAL_CRYPTO=${ROZBAL_CRYPTO} is not built for this platform: mbedtls or nettle on "
                        "Linux, cng or nettle on Windows")
  endif()

  if(NOT ROZBAL_CRYPTO STREQUAL "cng")
    # Outside a cross build's root, and never the system's own (shared) library. The headers are
    # the ones the library was built with: mbedtls's carry its configuration.
    find_path(ROZBAL_CRYPTO_INCLUDE_DIR_${ROZBAL_CRYPTO} ${header} PATHS ${ROZBAL_CRYPTO_DIR}/include
              NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    find_library(ROZBAL_CRYPTO_LIBRARY_${ROZBAL_CRYPTO} NAMES ${library} PATHS ${ROZBAL_CRYPTO_DIR}/lib
                 NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    set(includeDir ${ROZBAL_CRYPTO_INCLUDE_DIR_${ROZBAL_CRYPTO}})
    set(staticLibrary ${ROZBAL_CRYPTO_LIBRARY_${ROZBAL_CRYPTO}})
    if(NOT includeDir OR NOT staticLibrary)
      message(FATAL_ERROR "${ROZBAL_CRYPTO} not found under ${ROZBAL_CRYPTO_DIR}: run `make deps "
                          "CRYPTO=${ROZBAL_CRYPTO}` (or `sh deps/build-crypto.sh ${ROZBAL_CRYPTO} ${platform}`), "
                          "or configure with -DROZBAL_MINIMAL=ON to build without AES")
    endif()
    target_include_directories(rozbal_core SYSTEM PUBLIC ${includeDir})
    target_link_libraries(rozbal_core PUBLIC ${staticLibrary})
  endif()
  # The build for aarch64 (cmake/aarch64.cmake) keeps mbedtls's own SHA-1: its config.h says which.
  set(sha1FromOpenssl "")
  if(ROZBAL_CRYPTO STREQUAL "mbedtls")
    file(STRINGS ${includeDir}/mbedtls/config.h sha1FromOpenssl REGEX "^#define MBEDTLS_SHA1_ALT")
  endif()
  if(sha1FromOpenssl)
    # mbedtls's SHA-1 is OpenSSL's (deps/sha1-from-openssl.c): Debian's static libcrypto.a, of which the
    # stub keeps only the SHA-1 code and its processor check.
    find_library(ROZBAL_OPENSSL_CRYPTO NAMES libcrypto.a)
    if(NOT ROZBAL_OPENSSL_CRYPTO)
      message(FATAL_ERROR "OpenSSL's static libcrypto.a not found: install libssl-dev (`make deps` does)")
    endif()
    target_link_libraries(rozbal_core PUBLIC ${ROZBAL_OPENSSL_CRYPTO})
  endif()
  target_compile_definitions(rozbal_core PUBLIC ROZBAL_AES)
endif()
