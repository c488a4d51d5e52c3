# Cross build for 32-bit Windows XP with the mingw-w64 toolchain: the driver image and the
# installation check, nothing else (see the top-level CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 5.1)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(NMEAFILT_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Prefix of the cross tools")
set(CMAKE_C_COMPILER ${NMEAFILT_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${NMEAFILT_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${NMEAFILT_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${NMEAFILT_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${NMEAFILT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler checks would link a user-mode program against the C runtime; the driver has none.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
