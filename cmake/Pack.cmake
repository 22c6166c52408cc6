# rozbal-pack: writer/ writes ZIP archives, pack/ is the program. It carries the stubs built with
# it, embedded when it is linked: this build's own, the Windows stub where `make windows` built it
# in this checkout, and the aarch64 stub where ROZBAL_ARM64_STUB names one (empty: the one `make`
# cross-builds in this checkout, build-arm64). A stub that is not there is embedded as an empty
# file, which the packer reports when asked for that target.
file(GLOB ROZBAL_WRITER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/writer/*.cpp)
file(GLOB ROZBAL_PACK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/pack/*.cpp)
find_package(Threads REQUIRED)
add_library(rozbal_writer STATIC ${ROZBAL_WRITER_SOURCES})
target_link_libraries(rozbal_writer PUBLIC rozbal_core)
target_compile_options(rozbal_writer PRIVATE ${ROZBAL_WARNINGS})

set(ROZBAL_WINDOWS_STUB ${CMAKE_SOURCE_DIR}/build-win32/bin/rozbal.exe CACHE FILEPATH
    "The Windows stub rozbal-pack carries, where it has been built")
set(ROZBAL_ARM64_STUB "" CACHE FILEPATH "The linux-arm64 stub rozbal-pack carries, where one has been built")
set(arm64Stub "${ROZBAL_ARM64_STUB}")
if(NOT arm64Stub)
  set(arm64Stub ${CMAKE_SOURCE_DIR}/build-arm64/bin/rozbal)
endif()
# The other Linux target's stub comes only from ROZBAL_ARM64_STUB, on an x86-64 build.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(native linux-arm64)
  set(other linux-x86_64)
  set(otherStub "")
else()
  set(native linux-x86_64)
  set(other linux-arm64)
  set(otherStub "${arm64Stub}")
endif()
set(stubs ${CMAKE_BINARY_DIR}/pack-stubs)
add_custom_target(rozbal_pack_stubs
  COMMAND ${CMAKE_COMMAND} -DOUT=${stubs} -DNATIVE=${native} -DNATIVE_STUB=$<TARGET_FILE:rozbal>
          -DWINDOWS_STUB=${ROZBAL_WINDOWS_STUB} -DOTHER=${other} "-DOTHER_STUB=${otherStub}"
          -P ${CMAKE_SOURCE_DIR}/cmake/PackStubs.cmake
  BYPRODUCTS ${stubs}/linux-x86_64 ${stubs}/linux-arm64 ${stubs}/windows
  DEPENDS rozbal VERBATIM)

add_executable(rozbal-pack ${ROZBAL_PACK_SOURCES})
add_dependencies(rozbal-pack rozbal_pack_stubs)
target_link_libraries(rozbal-pack PRIVATE rozbal_writer Threads::Threads)
target_include_directories(rozbal-pack PRIVATE ${LIBDEFLATE_INCLUDE_DIR})
target_compile_options(rozbal-pack PRIVATE ${ROZBAL_WARNINGS})
set_source_files_properties(${CMAKE_SOURCE_DIR}/pack/PackTarget.cpp PROPERTIES
  OBJECT_DEPENDS "${stubs}/linux-x86_64;${stubs}/linux-arm64;${stubs}/windows"
  COMPILE_DEFINITIONS "ROZBAL_STUB_LINUX_X86_64=\"${stubs}/linux-x86_64\";ROZBAL_STUB_LINUX_ARM64=\"${stubs}/linux-arm64\";ROZBAL_STUB_WINDOWS=\"${stubs}/windows\"")
