#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nmeafilt
{

bool ParseNumber(const char* text, unsigned long min, unsigned long max, unsigned long* value)
{
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) {
        return false;
    }
    *value = v;
    return true;
}

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

} // namespace nmeafilt
