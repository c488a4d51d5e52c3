#include "command.h"

#include <cstring>

#include "port_name.h"

namespace setup
{

const char* const kUsage =
    "usage: nmeafilt-setup install COMn [--sys FILE] [--json]\n"
    "       nmeafilt-setup remove COMn [--json]\n"
    "       nmeafilt-setup status [--json]\n"
    "  install   put the filter on the port COMn: copy the driver, create the service nmeafilt,\n"
    "            add it to the port's UpperFilters and restart the port\n"
    "  remove    take the filter off COMn; the service and the file go when no port uses them\n"
    "  status    every port with its UpperFilters, the service and the installed driver file\n"
    "  --sys FILE  the driver to install (default: nmeafilt.sys beside this program)\n"
    "  --json      print the report as one JSON object\n"
    "exit codes: 0 done, 1 failed, 2 bad usage, 3 done but Windows must restart, 4 no such port\n";

namespace
{

bool VerbNamed(const char* name, Verb* verb)
{
    static const struct {
        const char* name;
        Verb verb;
    } verbs[] = {{"install", Verb::Install}, {"remove", Verb::Remove}, {"status", Verb::Status}};
    for (const auto& v : verbs) {
        if (std::strcmp(name, v.name) == 0) {
            *verb = v.verb;
            return true;
        }
    }
    return false;
}

bool Fail(std::string* error, const std::string& message)
{
    *error = message;
    return false;
}

} // namespace

bool ParseCommand(int argc, const char* const* argv, Command* c, std::string* error)
{
    bool haveVerb = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            c->help = true;
        } else if (std::strcmp(arg, "--version") == 0) {
            c->version = true;
        } else if (std::strcmp(arg, "--json") == 0) {
            c->json = true;
        } else if (std::strcmp(arg, "--sys") == 0 || std::strncmp(arg, "--sys=", 6) == 0) {
            const char* file = arg[5] == '=' ? arg + 6 : i + 1 < argc ? argv[++i] : "";
            if (*file == '\0') {
                return Fail(error, "--sys needs a driver file");
            }
            c->sys = file;
        } else if (arg[0] == '-') {
            return Fail(error, std::string("unknown option '") + arg + "'");
        } else if (!haveVerb) {
            if (!VerbNamed(arg, &c->verb)) {
                return Fail(error, std::string("unknown command '") + arg +
                                       "': install, remove or status");
            }
            haveVerb = true;
        } else if (!c->port.empty() || c->verb == Verb::Status) {
            return Fail(error, std::string("'") + arg + "' is one argument too many");
        } else if (!win::ParsePortName(arg, &c->port)) {
            return Fail(error, std::string("'") + arg + "' is not a port name: COM1 to COM256");
        }
    }
    if (c->help || c->version) {
        return true;
    }
    if (!haveVerb) {
        return Fail(error, "no command given: install, remove or status");
    }
    if (c->verb != Verb::Status && c->port.empty()) {
        return Fail(error, "no port given");
    }
    if (!c->sys.empty() && c->verb != Verb::Install) {
        return Fail(error, "--sys belongs to install");
    }
    return true;
}

} // namespace setup
