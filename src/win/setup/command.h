// nmeafilt-setup install COMn [--sys FILE] [--json] | remove COMn [--json] | status [--json]
#pragma once

#include <string>

namespace setup
{

enum class Verb { Install, Remove, Status };

struct Command {
    Verb verb = Verb::Status;
    std::string port; // "COM3", upper case
    std::string sys;  // --sys, empty for the file beside the program
    bool json = false;
    bool help = false;
    bool version = false;
};

extern const char* const kUsage;

// False with a one-line message in `error` when the arguments are not usable.
bool ParseCommand(int argc, const char* const* argv, Command* command, std::string* error);

} // namespace setup
