// The command line of nmeafilt: the three commands and their options, each defined once, for
// the parsing, the help and the usage errors alike (CLI11). Every command takes `--opt value`
// and `--opt=value`; a usage error names the option and what it takes, and exits 2.
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>

#include "engine_loop.h"
#include "receiver_model.h"
#include "serial_io.h"

namespace nmeafilt
{

struct ReplayOptions {
    unsigned chunk = kMaxChunk;
    unsigned readSize = kDefaultReadSize;
    bool crlf = false;    // LF line ends to CR LF before the filter
    std::string commands; // empty: the commands go nowhere
    bool explain = false;
    std::string image; // empty: the driver linked in
    bool haveInput = false;
    std::string input; // with haveInput; "-" is standard input
};

struct RunOptions {
    std::string port;
    unsigned baud = kDefaultBaud;
    unsigned waitSeconds = 0; // for the device to appear
    std::string link;         // --pty
    std::string ptyGroup;     // who may open the link
    mode_t ptyMode = 0;
    std::string output; // empty or "-": standard output
    std::string image;
};

struct SimulateOptions {
    std::string port;
    std::string link; // --pty
    ReceiverConfig receiver;
    unsigned long seconds = 0; // 0: until stopped or hung up
    unsigned baud = kDefaultBaud;
};

enum class Command { Replay, Run, Simulate };

struct CommandLine {
    Command command = Command::Replay;
    ReplayOptions replay;
    RunOptions run;
    SimulateOptions simulate;
};

// Parses a whole command line, argv[0] being the program. Returns -1 with `line` filled when a
// command is to run. Otherwise returns the exit code: 0 after writing the help asked for to
// `out`, 2 after writing a usage error and the help of the command to `err`, its first line
// "nmeafilt COMMAND: " (or "nmeafilt: ") and the reason.
int ParseCommandLine(int argc, const char* const* argv, CommandLine* line, FILE* out, FILE* err);

} // namespace nmeafilt
