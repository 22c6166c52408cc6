# The decoders of the methods beyond stored and deflate: bzip2 (12), LZMA (14), zstd (93) and xz (95),
# from decoder-only static libraries built by deps/build-codecs.sh (make deps) into ROZBAL_DEPS_DIR.
# On Linux, Debian's own static libraries stand in where that build is missing.
option(ROZBAL_MINIMAL "Stored, deflate and traditional encryption only: no Deflate64, bzip2, LZMA, xz, zstd or AES" OFF)
if(NOT ROZBAL_MINIMAL)
  # Our own decoder, with no library behind it.
  target_compile_definitions(rozbal_core PUBLIC ROZBAL_DEFLATE64)
endif()
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ROZBAL_DEPS_DEFAULT ${CMAKE_SOURCE_DIR}/build-deps/win64)
elseif(WIN32)
  set(ROZBAL_DEPS_DEFAULT ${CMAKE_SOURCE_DIR}/build-deps/win32)
else()
  set(ROZBAL_DEPS_DEFAULT ${CMAKE_SOURCE_DIR}/build-deps/linux)
endif()
set(ROZBAL_DEPS_DIR ${ROZBAL_DEPS_DEFAULT} CACHE PATH "Prefix of the libraries built by make deps")

if(NOT ROZBAL_MINIMAL)
  # define|library|header
  foreach(row IN ITEMS "ROZBAL_BZIP2|bz2|bzlib.h" "ROZBAL_LZMA|lzma|lzma.h" "ROZBAL_ZSTD|zstd|zstd.h")
    string(REGEX MATCHALL "[^|]+" fields "${row}")
    list(GET fields 0 define)
    list(GET fields 1 name)
    list(GET fields 2 header)
    # The cross build searches the given prefix itself, not one under the compiler's root.
    find_library(${define}_LIBRARY NAMES lib${name}.a PATHS ${ROZBAL_DEPS_DIR}/lib
                 NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    find_path(${define}_INCLUDE_DIR ${header} PATHS ${ROZBAL_DEPS_DIR}/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT WIN32 AND (NOT ${define}_LIBRARY OR NOT ${define}_INCLUDE_DIR))
      unset(${define}_LIBRARY CACHE)
      unset(${define}_INCLUDE_DIR CACHE)
      find_library(${define}_LIBRARY NAMES lib${name}.a)
      find_path(${define}_INCLUDE_DIR ${header})
      if(${define}_LIBRARY AND ${define}_INCLUDE_DIR)
        message(STATUS "lib${name}.a not built in ${ROZBAL_DEPS_DIR}: the system's ${${define}_LIBRARY} instead")
      endif()
    elseif(define STREQUAL "ROZBAL_BZIP2")
      # Ours is built without stdio and leaves its internal-error hook to the program.
      target_compile_definitions(rozbal_core PRIVATE ROZBAL_BZIP2_NO_STDIO)
    endif()
    if(NOT ${define}_LIBRARY OR NOT ${define}_INCLUDE_DIR)
      message(FATAL_ERROR "lib${name}.a or ${header} not found in ${ROZBAL_DEPS_DIR}: build them with `make deps` "
                          "(or deps/build-codecs.sh), or configure with -DROZBAL_MINIMAL=ON")
    endif()
    target_include_directories(rozbal_core SYSTEM PRIVATE ${${define}_INCLUDE_DIR})
    target_link_libraries(rozbal_core PUBLIC ${${define}_LIBRARY})
    target_compile_definitions(rozbal_core PUBLIC ${define})
  endforeach()
  # The static library, not a DLL's import stubs, on Windows.
  target_compile_definitions(rozbal_core PRIVATE LZMA_API_STATIC)
endif()
