// nmeafilt-check: is the filter installed on this port, and does it do its work?
#include <cstdio>

#include "options.h"
#include "probes.h"
#include "system.h"

int main(int argc, char** argv)
{
    using namespace check;
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "nmeafilt-check: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (options.help || options.version) {
        std::fputs(options.help ? kUsage : "nmeafilt-check " NMEAFILT_VERSION "\n", stdout);
        return 0;
    }
    Report report;
    report.port = options.port;
    report.seconds = options.seconds;
    report.checks.push_back(ProbeUpperFilter(options.port));
    win::ServiceFacts service;
    report.checks.push_back(ProbeService(&service));
    report.hasMachineName = ReadMachineName(&report.machineName);
    report.driverFile = win::ReadDriverFile(win::InstalledDriverPath(service));
    report.hasDriverFile = true;

    DWORD openError = ERROR_SUCCESS;
    HANDLE port = OpenPort(options.port, &openError);
    int code;
    if (port == INVALID_HANDLE_VALUE) {
        report.portError = openError;
        report.portErrorText = ErrorText(openError);
        report.checks.push_back(
            {"stream", Outcome::Fail, "cannot open " + options.port + ": " + report.portErrorText});
        code = ExitCode(report);
    } else {
        if (!options.json) {
            std::fprintf(stderr, "reading %s for %u s...\n", options.port.c_str(), options.seconds);
        }
        report.stream = ReadStream(port, options.seconds);
        report.hasStream = true;
        report.checks.push_back(StreamVerdict(report.stream, options.seconds));
        report.checks.push_back(ProbeHandshake(port));
        CloseHandle(port);
        code = ExitCode(report);
    }
    std::fputs((options.json ? RenderJson(report) : RenderText(report)).c_str(), stdout);
    return code;
}
