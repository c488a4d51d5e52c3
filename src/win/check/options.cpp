#include "options.h"

#include <cstdlib>
#include <cstring>

#include "port_name.h"

namespace check
{

const char* const kUsage = "usage: nmeafilt-check COMn [--seconds N] [--json]\n"
                           "  COMn         the port the receiver is on, COM1 to COM256\n"
                           "  --seconds N  how long to read the stream, 1 to 3600 (default 10)\n"
                           "  --json       print the report as one JSON object\n"
                           "  --version    print the program's version\n"
                           "exit codes: 0 every check passed, 1 a check failed, 2 bad usage,\n"
                           "            4 the port cannot be opened (missing or in use)\n";

namespace
{

bool Number(const char* text, unsigned long low, unsigned long high, unsigned long* value)
{
    char* end = nullptr;
    if (*text < '0' || *text > '9') {
        return false;
    }
    *value = std::strtoul(text, &end, 10);
    return *end == '\0' && *value >= low && *value <= high;
}

} // namespace

bool ParseOptions(int argc, const char* const* argv, Options* o, std::string* error)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = nullptr;
        if (std::strncmp(arg, "--seconds=", 10) == 0) {
            value = arg + 10;
        } else if (std::strcmp(arg, "--seconds") == 0) {
            if (i + 1 == argc) {
                *error = "--seconds needs a number of seconds, 1 to 3600";
                return false;
            }
            value = argv[++i];
        }
        unsigned long n = 0;
        if (value != nullptr) {
            if (!Number(value, 1, 3600, &n)) {
                *error = std::string("--seconds: '") + value + "' is not a number from 1 to 3600";
                return false;
            }
            o->seconds = static_cast<unsigned>(n);
        } else if (std::strcmp(arg, "--json") == 0) {
            o->json = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            o->help = true;
        } else if (std::strcmp(arg, "--version") == 0) {
            o->version = true;
        } else if (arg[0] == '-') {
            *error = std::string("unknown option '") + arg + "'";
            return false;
        } else if (!o->port.empty()) {
            *error = std::string("one port only; '") + arg + "' is a second one";
            return false;
        } else if (!win::ParsePortName(arg, &o->port)) {
            *error = std::string("'") + arg + "' is not a port name: COM1 to COM256";
            return false;
        }
    }
    if (o->port.empty() && !o->help && !o->version) {
        *error = "no port given";
        return false;
    }
    return true;
}

} // namespace check
