#include "report.h"

#include <cstdio>

#include "json.h"

namespace check
{

using win::Json;

namespace
{

using win::kDemandStart;
using win::kKernelDriver;
using win::kRunning;
// Values of DCB, fixed by Windows; the verdicts need no headers.
const unsigned kDtrEnable = 1, kRtsEnable = 1;

const char* OutcomeName(Outcome o)
{
    return o == Outcome::Pass ? "pass" : o == Outcome::Fail ? "fail" : "skipped";
}

template <typename... Args> std::string Format(const char* format, Args... args)
{
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

std::string Counts(const StreamSummary& s, const char* separator, bool json)
{
    std::string out;
    for (const SentenceCount& c : s.counts) {
        if (!out.empty()) {
            out += separator;
        }
        out += json ? Format("\"%s\": %lu", c.type, c.count) : Format("%s %lu", c.type, c.count);
    }
    return out;
}

// "VA" as "V, A", or quoted for JSON.
std::string Letters(const std::string& letters, const char* separator, const char* quote)
{
    std::string out;
    for (char c : letters) {
        out += (out.empty() ? "" : separator) + std::string(quote) + c + quote;
    }
    return out;
}

} // namespace

static int Failures(const Report& report)
{
    int failed = 0;
    for (const CheckResult& c : report.checks) {
        failed += c.outcome == Outcome::Fail;
    }
    return failed;
}

int ExitCode(const Report& report)
{
    return report.portError != 0 ? 4 : Failures(report) > 0 ? 1 : 0;
}

const char* PortErrorReason(unsigned long error)
{
    // Values of Windows: no such file or path; access denied or sharing violation, which is
    // what opening a serial port that another program holds gives.
    switch (error) {
        case 2:
        case 3:
            return "missing";
        case 5:
        case 32:
            return "in use";
        default:
            return "error";
    }
}

CheckResult FilterListVerdict(const std::string& device, const std::vector<std::string>& filters)
{
    const std::string list = win::FilterListText(filters);
    if (win::ListsFilter(filters)) {
        return {"upper-filter", Outcome::Pass, device + " has UpperFilters " + list};
    }
    return {"upper-filter", Outcome::Fail,
            device + " has no nmeafilt in UpperFilters (" + list + ")"};
}

CheckResult ServiceVerdict(const ServiceFacts& f)
{
    if (f.type != kKernelDriver) {
        return {"service", Outcome::Fail,
                Format("nmeafilt has service type %lu, not a kernel driver (1)", f.type)};
    }
    if (f.start != kDemandStart) {
        return {"service", Outcome::Fail,
                Format("nmeafilt has start type %lu, not demand start (3)", f.start)};
    }
    if (f.state != kRunning) {
        return {"service", Outcome::Fail,
                std::string("nmeafilt is a demand-start kernel driver but ") +
                    win::ServiceStateName(f.state)};
    }
    return {"service", Outcome::Pass, "nmeafilt is a demand-start kernel driver, running"};
}

CheckResult StreamVerdict(const StreamSummary& s, unsigned seconds)
{
    if (s.faults > 0) {
        std::string more = s.faults > 1 ? Format(" (and %lu more)", s.faults - 1) : "";
        return {"stream", Outcome::Fail, s.firstFault + more};
    }
    if (s.sentences == 0) {
        return {"stream", Outcome::Fail,
                Format("no whole sentence in %u s (%lu bytes)", seconds, s.bytes)};
    }
    std::string detail = Format("%lu sentences (", s.sentences) + Counts(s, ", ", false) + ")";
    detail += ", RMC status " +
              (s.rmcStatuses.empty() ? std::string("none") : Letters(s.rmcStatuses, ", ", ""));
    detail +=
        s.epochRate > 0 ? Format(", epoch rate %.2g Hz", s.epochRate) : ", epoch rate unknown";
    return {"stream", Outcome::Pass, detail};
}

CheckResult HandshakeVerdict(const HandshakeFacts& got)
{
    std::string wrong;
    auto expect = [&](bool ok, const char* what) {
        if (!ok) {
            wrong += (wrong.empty() ? "" : ", ") + std::string(what);
        }
    };
    expect(!got.ctsFlow, "CTS output flow is on");
    expect(!got.dsrFlow, "DSR output flow is on");
    expect(got.dtrControl == kDtrEnable, "DTR is not simply enabled");
    expect(got.rtsControl == kRtsEnable, "RTS is not simply enabled");
    if (!wrong.empty()) {
        return {"handshake", Outcome::Fail, "hardware handshake was not overridden: " + wrong};
    }
    return {"handshake", Outcome::Pass,
            "CTS and DSR flow off, DTR and RTS on, as the filter sets them"};
}

std::string RenderText(const Report& r)
{
    std::string out = Format("nmeafilt-check %s, reading %u s\n", r.port.c_str(), r.seconds);
    for (const CheckResult& c : r.checks) {
        const char* tag = c.outcome == Outcome::Pass   ? "PASS"
                          : c.outcome == Outcome::Fail ? "FAIL"
                                                       : "SKIP";
        out += Format("[%s] %-12s ", tag, c.name.c_str()) + c.detail + "\n";
    }
    out +=
        "machine name: " + (r.hasMachineName ? r.machineName : std::string("(not written)")) + "\n";
    if (r.hasDriverFile) {
        out += "driver file: " + win::DriverFileText(r.driverFile) + "\n";
    }
    const int failed = Failures(r);
    if (r.portError != 0) {
        return out + "result: " + r.port + " cannot be opened (" + PortErrorReason(r.portError) +
               "): the check is not complete\n";
    }
    out += failed ? Format("result: FAIL (%d of %d checks failed)\n", failed,
                           static_cast<int>(r.checks.size()))
                  : std::string("result: PASS\n");
    return out;
}

std::string RenderJson(const Report& r)
{
    std::string out = "{\"port\": " + Json(r.port) + Format(", \"seconds\": %u", r.seconds);
    const int code = ExitCode(r);
    out += ", \"result\": " + std::string(code == 4 ? "\"port-error\""
                                          : code    ? "\"fail\""
                                                    : "\"pass\"");
    out += ", \"exit_code\": " + std::to_string(code);
    out += ", \"port_error\": ";
    out += r.portError == 0
               ? std::string("null")
               : Format("{\"error\": %lu, \"reason\": \"%s\", \"detail\": ", r.portError,
                        PortErrorReason(r.portError)) +
                     Json(r.portErrorText) + "}";
    out += ", \"checks\": [";
    for (size_t i = 0; i < r.checks.size(); ++i) {
        const CheckResult& c = r.checks[i];
        out += (i ? ", " : "") + std::string("{\"name\": ") + Json(c.name) + ", \"result\": \"" +
               OutcomeName(c.outcome) + "\", \"detail\": " + Json(c.detail) + "}";
    }
    out += "], \"machine_name\": " + (r.hasMachineName ? Json(r.machineName) : std::string("null"));
    out += ", \"driver_file\": " +
           (r.hasDriverFile ? win::DriverFileJson(r.driverFile) : std::string("null"));
    if (r.hasStream) {
        const StreamSummary& s = r.stream;
        out += Format(", \"stream\": {\"bytes\": %lu, \"leading_bytes\": %lu, \"sentences\": %lu, ",
                      s.bytes, s.leadingBytes, s.sentences);
        out += "\"counts\": {" + Counts(s, ", ", true) + "}, \"rmc_status\": [" +
               Letters(s.rmcStatuses, ", ", "\"") + "]";
        out += Format(", \"epochs\": %lu, \"epoch_rate\": %.3g, \"faults\": %lu}", s.epochs,
                      s.epochRate, s.faults);
    }
    return out + "}\n";
}

} // namespace check
