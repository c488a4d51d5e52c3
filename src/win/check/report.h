// The check's findings and their two renderings: lines for a person, one JSON object for
// scripts that collect results from many machines.
#pragma once

#include <string>
#include <vector>

#include "installation.h"
#include "stream_check.h"

namespace check
{

enum class Outcome { Pass, Fail, Skipped };

struct CheckResult {
    std::string name;
    Outcome outcome;
    std::string detail; // what was found, or why it failed or was skipped
};

struct Report {
    std::string port;
    unsigned seconds = 0;
    std::vector<CheckResult> checks;
    bool hasMachineName = false;
    std::string machineName;
    bool hasStream = false;
    StreamSummary stream;
    bool hasDriverFile = false;
    win::DriverFile driverFile;  // the file the service loads
    unsigned long portError = 0; // the Windows error when the port could not be opened
    std::string portErrorText;
};

// 4 when the port could not be opened, else 0 when every check passed or was skipped and 1
// when one failed.
int ExitCode(const Report& report);
// Why a port did not open, from the error of the open: "missing", "in use" or "error".
const char* PortErrorReason(unsigned long error);
std::string RenderText(const Report& report);
std::string RenderJson(const Report& report);

// The verdicts, apart from the Windows calls that gather their inputs.
CheckResult FilterListVerdict(const std::string& device, const std::vector<std::string>& filters);
struct ServiceFacts {
    unsigned long type, start, state; // as the service manager reports them
};
CheckResult ServiceVerdict(const ServiceFacts& facts);
CheckResult StreamVerdict(const StreamSummary& stream, unsigned seconds);
// The settings read back after asking for CTS and DSR output flow and DTR and RTS handshake.
struct HandshakeFacts {
    bool ctsFlow, dsrFlow;
    unsigned dtrControl, rtsControl; // DCB's two-bit fields
};
CheckResult HandshakeVerdict(const HandshakeFacts& got);

} // namespace check
