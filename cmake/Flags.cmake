# Warnings as errors for our own code; third-party code is never given these.
function(nmeafilt_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror)
endfunction()

# What runs in the kernel is built the same way on the host: no exceptions, no RTTI,
# no thread-safe statics, so a construct the driver image cannot take fails here too.
function(nmeafilt_kernel_code target)
    nmeafilt_warnings(${target})
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-threadsafe-statics)
endfunction()

if(NMEAFILT_SANITIZE)
    add_compile_options(-fsanitize=${NMEAFILT_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${NMEAFILT_SANITIZE})
endif()
