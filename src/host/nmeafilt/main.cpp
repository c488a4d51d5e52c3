// nmeafilt: the filter driver's stream rewriting, run on Linux.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace
{

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* synopsis;
};

const Command kCommands[] = {
    {"replay", nmeafilt::ReplayMain,
     "replay [--chunk N] [--read-size N] [--commands FILE] [--explain] [--image SYS] "
     "[FILE | -]"},
    {"run", nmeafilt::RunMain,
     "run --port DEVICE [--baud N] [--pty LINK | --output FILE | -] [--image SYS]"},
    {"simulate", nmeafilt::SimulateMain,
     "simulate [--port DEVICE | --pty LINK] [--mode gps|utc] [--rate HZ] [--seconds N] [--seed N]"},
};

int Usage(FILE* out)
{
    std::fputs("usage: nmeafilt COMMAND [OPTIONS]\n", out);
    for (const Command& c : kCommands) {
        std::fprintf(out, "  nmeafilt %s\n", c.synopsis);
    }
    return out == stdout ? nmeafilt::kExitOk : nmeafilt::kExitUsage;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        return Usage(stderr);
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        return Usage(stdout);
    }
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) == 0) {
            return c.run(argc - 1, argv + 1);
        }
    }
    std::fprintf(stderr, "nmeafilt: unknown command '%s'\n", argv[1]);
    return Usage(stderr);
}
