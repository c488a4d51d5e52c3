// nmeafilt-check COMn [--seconds N] [--json] [--version]
#pragma once

#include <string>

namespace check
{

struct Options {
    std::string port; // "COM3", upper case
    unsigned seconds = 10;
    bool json = false;
    bool help = false;
    bool version = false;
};

extern const char* const kUsage;

// False with a one-line message in `error` when the arguments are not usable.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

} // namespace check
