#include "port_name.h"

#include <cstdlib>
#include <cstring>

namespace win
{

bool ParsePortName(const char* text, std::string* port)
{
    if (std::strlen(text) < 4 || (text[0] | 0x20) != 'c' || (text[1] | 0x20) != 'o' ||
        (text[2] | 0x20) != 'm' || text[3] < '0' || text[3] > '9') {
        return false;
    }
    char* end = nullptr;
    unsigned long n = std::strtoul(text + 3, &end, 10);
    if (*end != '\0' || n < 1 || n > 256) {
        return false;
    }
    *port = "COM" + std::to_string(n);
    return true;
}

} // namespace win
