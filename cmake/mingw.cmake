# Cross build of the Windows program with Debian's mingw-w64 compilers (the posix thread model:
# GoogleTest needs std::mutex); test programs run through Wine. The shipped program is 32-bit
# (i686); -DROZBAL_MINGW_TRIPLE=x86_64-w64-mingw32 builds the same for 64-bit Wine, where a
# machine cannot run 32-bit programs.
set(ROZBAL_MINGW_TRIPLE i686-w64-mingw32 CACHE STRING "mingw-w64 target triple")
set(CMAKE_SYSTEM_NAME Windows)
if(ROZBAL_MINGW_TRIPLE MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  # Debian keeps the 64-bit loader out of PATH.
  find_program(ROZBAL_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(ROZBAL_WINE_PROGRAM ${ROZBAL_WINE64})
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
  set(ROZBAL_WINE_PROGRAM wine)
endif()
# Through a script that runs a test again where Wine itself crashed (not the program under test).
set(CMAKE_CROSSCOMPILING_EMULATOR sh ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-test.sh ${ROZBAL_WINE_PROGRAM})
find_program(ROZBAL_MINGW_CC NAMES ${ROZBAL_MINGW_TRIPLE}-gcc-posix REQUIRED)
# The package installs the C++ driver under both names.
find_program(ROZBAL_MINGW_CXX NAMES ${ROZBAL_MINGW_TRIPLE}-g++-posix ${ROZBAL_MINGW_TRIPLE}-c++-posix REQUIRED)
set(CMAKE_C_COMPILER ${ROZBAL_MINGW_CC})
set(CMAKE_CXX_COMPILER ${ROZBAL_MINGW_CXX})
set(CMAKE_RC_COMPILER ${ROZBAL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ROZBAL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Everything linked in: the program imports only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
