// nmeafilt: the filter driver's stream rewriting, run on Linux.
#include <cstdio>

#include "cli.h"
#include "commands.h"

int main(int argc, char** argv)
{
    nmeafilt::CommandLine line;
    const int code = nmeafilt::ParseCommandLine(argc, argv, &line, stdout, stderr);
    if (code >= 0) {
        return code;
    }
    switch (line.command) {
        case nmeafilt::Command::Replay:
            return nmeafilt::ReplayMain(line.replay);
        case nmeafilt::Command::Run:
            return nmeafilt::RunMain(line.run);
        case nmeafilt::Command::Simulate:
            return nmeafilt::SimulateMain(line.simulate);
    }
    return nmeafilt::kExitUsage;
}
