# AES decryption (method 99) rests on nettle, built from Debian's source package by
# deps/build-crypto.sh (run by `make deps` / `make windows-deps`) into build-deps/PLATFORM, and linked
# statically: the Linux stub still needs only the C library. ROZBAL_MINIMAL leaves it out (and
# ROZBAL_AES undefined).
if(NOT ROZBAL_MINIMAL)
  if(NOT WIN32)
    set(ROZBAL_CRYPTO_PLATFORM linux)
  elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ROZBAL_CRYPTO_PLATFORM win64)
  else()
    set(ROZBAL_CRYPTO_PLATFORM win32)
  endif()
  set(ROZBAL_CRYPTO_DIR ${CMAKE_SOURCE_DIR}/build-deps/${ROZBAL_CRYPTO_PLATFORM} CACHE PATH
      "Where deps/build-crypto.sh installed nettle for this platform")
  # Outside the cross build's root, and never the system's own (shared) library.
  find_path(NETTLE_INCLUDE_DIR nettle/aes.h PATHS ${ROZBAL_CRYPTO_DIR}/include NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH)
  find_library(NETTLE_STATIC_LIBRARY NAMES libnettle.a PATHS ${ROZBAL_CRYPTO_DIR}/lib NO_DEFAULT_PATH
               NO_CMAKE_FIND_ROOT_PATH)
  if(NOT NETTLE_INCLUDE_DIR OR NOT NETTLE_STATIC_LIBRARY)
    message(FATAL_ERROR "nettle not found under ${ROZBAL_CRYPTO_DIR}: run `make deps` (or "
                        "`sh deps/build-crypto.sh ${ROZBAL_CRYPTO_PLATFORM}`), or configure with "
                        "-DROZBAL_MINIMAL=ON to build without AES")
  endif()
  target_include_directories(rozbal_core SYSTEM PUBLIC ${NETTLE_INCLUDE_DIR})
  target_link_libraries(rozbal_core PUBLIC ${NETTLE_STATIC_LIBRARY})
  target_compile_definitions(rozbal_core PUBLIC ROZBAL_AES)
endif()
