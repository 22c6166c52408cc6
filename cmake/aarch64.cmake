# Cross build of the aarch64 Linux stub with Debian's cross compilers (gcc-aarch64-linux-gnu,
# g++-aarch64-linux-gnu). zlib, libdeflate, the codecs and mbedtls come from ROZBAL_DEPS_DIR (made by
# `make arm64-deps`: deps/build-codecs.sh, build-libdeflate.sh and build-crypto.sh arm64), never from
# the machine's own x86-64 libraries. Programs run through qemu-user, with the cross C library as
# their root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(ROZBAL_ARM64_SYSROOT /usr/aarch64-linux-gnu)
find_program(ROZBAL_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(ROZBAL_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ROZBAL_QEMU_AARCH64} -L ${ROZBAL_ARM64_SYSROOT})
endif()

get_filename_component(rozbalSource ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(ROZBAL_DEPS_DIR ${rozbalSource}/build-deps/arm64 CACHE PATH "Prefix of the libraries built by make arm64-deps")
set(ROZBAL_CRYPTO_DIR ${ROZBAL_DEPS_DIR} CACHE PATH "Where deps/build-crypto.sh installed the crypto library")
set(CMAKE_FIND_ROOT_PATH ${ROZBAL_DEPS_DIR} ${ROZBAL_DEPS_DIR}-libdeflate ${ROZBAL_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
