# x86-64 build of the installation check alone, for running it under wine64 on machines that
# cannot start 32-bit programs. What ships is the i386 build (i686-w64-mingw32.cmake).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(NMEAFILT_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Prefix of the cross tools")
include(${CMAKE_CURRENT_LIST_DIR}/MingwW64.cmake)
