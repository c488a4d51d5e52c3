#include "loading.h"

#include <driver_image.h>

#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nmeafilt
{

bool ReadInput(const std::string& path, std::string* contents, std::string* error)
{
    FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = std::strerror(errno);
        return false;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) {
        contents->append(buffer, n);
    }
    bool ok = !std::ferror(f);
    if (!ok) {
        *error = std::strerror(errno);
    }
    if (f != stdin) {
        std::fclose(f);
    }
    return ok;
}

int MapDriverImage(const char* command, const std::string& path, standin::DriverImage* image)
{
    if (!standin::kRunsDriverImages) {
        std::fprintf(stderr,
                     "nmeafilt %s: --image needs the 32-bit build (cmake/i686-linux-gnu.cmake), "
                     "run under qemu-i386\n",
                     command);
        return kExitUsage;
    }
    std::string error;
    if (!image->Load(path, &error)) {
        std::fprintf(stderr, "nmeafilt %s: cannot load the driver image: %s\n", command,
                     error.c_str());
        return kExitFailure;
    }
    return -1;
}

} // namespace nmeafilt
