# AES decryption (method 99). It rests on nettle, built from Debian's source package by
# deps/build-crypto.sh (run by `make deps`) into build-deps/PLATFORM and linked statically, so the
# Linux stub still needs only the C library; on Windows by default on the system's CNG (bcrypt.dll),
# as nettle's 32-bit x86 code has no AES or SHA instructions. ROZBAL_MINIMAL leaves AES out (and
# ROZBAL_AES undefined).
if(NOT ROZBAL_MINIMAL)
  if(WIN32)
    set(ROZBAL_WINDOWS_CRYPTO cng CACHE STRING
        "AES on Windows: cng (bcrypt.dll) or nettle (sh deps/build-crypto.sh win32, or win64)")
  endif()
  if(WIN32 AND ROZBAL_WINDOWS_CRYPTO STREQUAL "cng")
    target_link_libraries(rozbal_core PUBLIC bcrypt)
    target_compile_definitions(rozbal_core PUBLIC ROZBAL_AES_CNG)
  else()
    if(NOT WIN32)
      set(platform linux)
    elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(platform win64)
    else()
      set(platform win32)
    endif()
    set(ROZBAL_CRYPTO_DIR ${CMAKE_SOURCE_DIR}/build-deps/${platform} CACHE PATH
        "Where deps/build-crypto.sh installed nettle")
    # Outside a cross build's root, and never the system's own (shared) library.
    find_path(NETTLE_INCLUDE_DIR nettle/aes.h PATHS ${ROZBAL_CRYPTO_DIR}/include NO_DEFAULT_PATH
              NO_CMAKE_FIND_ROOT_PATH)
    find_library(NETTLE_STATIC_LIBRARY NAMES libnettle.a PATHS ${ROZBAL_CRYPTO_DIR}/lib NO_DEFAULT_PATH
                 NO_CMAKE_FIND_ROOT_PATH)
    if(NOT NETTLE_INCLUDE_DIR OR NOT NETTLE_STATIC_LIBRARY)
      message(FATAL_ERROR "nettle not found under ${ROZBAL_CRYPTO_DIR}: run `make deps` (or "
                          "`sh deps/build-crypto.sh ${platform}`), or configure with -DROZBAL_MINIMAL=ON to "
                          "build without AES")
    endif()
    target_include_directories(rozbal_core SYSTEM PUBLIC ${NETTLE_INCLUDE_DIR})
    target_link_libraries(rozbal_core PUBLIC ${NETTLE_STATIC_LIBRARY})
  endif()
  target_compile_definitions(rozbal_core PUBLIC ROZBAL_AES)
endif()
