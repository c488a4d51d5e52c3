// The nmeafilt subcommands; each takes the arguments after its own name.
#pragma once

namespace nmeafilt
{

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // a file or device could not be used
constexpr int kExitUsage = 2;

int ReplayMain(int argc, char** argv);
int RunMain(int argc, char** argv);
int SimulateMain(int argc, char** argv);

} // namespace nmeafilt
