# The driver image that the 32-bit build runs: a given file (CI passes the one the image check
# has just checked), or else one cross-built here with the mingw-w64 toolchain.
set(NMEAFILT_IMAGE "" CACHE FILEPATH "nmeafilt.sys to run in the stand-in (default: build one)")
if(NMEAFILT_IMAGE)
    add_custom_target(driver_image)
else()
    include(ExternalProject)
    set(image_build ${CMAKE_BINARY_DIR}/image)
    ExternalProject_Add(driver_image
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${image_build}
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/i686-w64-mingw32.cmake
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${image_build}/src/drv/sys/nmeafilt.sys)
    set(NMEAFILT_IMAGE ${image_build}/src/drv/sys/nmeafilt.sys)
endif()
# The link map beside the image names its symbols, for the tests that look inside.
string(REGEX REPLACE "\\.sys$" ".map" NMEAFILT_IMAGE_MAP "${NMEAFILT_IMAGE}")
