// What the check asks Windows: the port's device and the service, and the port itself.
#pragma once

#include <windows.h>

#include <string>

#include "installation.h"
#include "report.h"

namespace check
{

CheckResult ProbeUpperFilter(const std::string& port);
// Reads the service into `facts` as well, for the driver file it loads.
CheckResult ProbeService(win::ServiceFacts* facts);
bool ReadMachineName(std::string* name);

// INVALID_HANDLE_VALUE and the error when the port cannot be opened.
HANDLE OpenPort(const std::string& port, DWORD* error);
StreamSummary ReadStream(HANDLE port, unsigned seconds);
CheckResult ProbeHandshake(HANDLE port);

std::string ErrorText(DWORD error);

} // namespace check
