// The nmeafilt subcommands; each runs with the options the command line gave it (cli.h).
#pragma once

namespace nmeafilt
{

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // a file or device could not be used
constexpr int kExitUsage = 2;
constexpr int kExitOutputClosed = 3; // whoever read the output went away

struct ReplayOptions;
struct RunOptions;
struct SimulateOptions;

int ReplayMain(const ReplayOptions& options);
int RunMain(const RunOptions& options);
int SimulateMain(const SimulateOptions& options);

} // namespace nmeafilt
