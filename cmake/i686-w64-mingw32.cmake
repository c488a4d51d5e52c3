# Cross build for 32-bit Windows XP with the mingw-w64 toolchain: the driver image and the
# installation check, nothing else (see the top-level CMakeLists.txt).
set(CMAKE_SYSTEM_VERSION 5.1)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(NMEAFILT_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Prefix of the cross tools")
include(${CMAKE_CURRENT_LIST_DIR}/MingwW64.cmake)
