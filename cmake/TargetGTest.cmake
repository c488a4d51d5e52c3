# GoogleTest for a cross build: Debian ships the library for the host only, and its sources for
# every target.
set(NMEAFILT_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${NMEAFILT_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "no GoogleTest sources at ${NMEAFILT_GTEST_SOURCE} (Debian: googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# Its own build defines the GTest:: targets the tests link.
add_subdirectory(${NMEAFILT_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
