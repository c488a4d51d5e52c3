# 32-bit Linux build of the kernel stand-in, the driver sources, the nmeafilt program and the
# driver tests, so that the shipped i386 image can be loaded and run in the same process.
# These machines cannot start 32-bit programs themselves; qemu-user runs them, and ctest and
# GoogleTest's test discovery go through it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(NMEAFILT_I386_PREFIX i686-linux-gnu CACHE STRING "Prefix of the cross tools")
set(CMAKE_C_COMPILER ${NMEAFILT_I386_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${NMEAFILT_I386_PREFIX}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${NMEAFILT_I386_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /usr/${NMEAFILT_I386_PREFIX})

# Windows x86 code keeps the stack 4-byte aligned, and the image calls into this build (the
# kernel's routines, the host tools' line observer). Every function here therefore assumes no
# more than that on entry and realigns where it needs more.
set(CMAKE_C_FLAGS_INIT "-mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-mincoming-stack-boundary=2")

# The target's own C and C++ runtimes, found before any i386 runtime the host may also carry
# (its /lib32 copies do not match the cross loader).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath,/usr/${NMEAFILT_I386_PREFIX}/lib")
