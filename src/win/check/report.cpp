#include "report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace check
{

namespace
{

const char* const kFilter = "nmeafilt";
// Values of the service manager and of DCB, fixed by Windows; the verdicts need no headers.
const unsigned long kKernelDriver = 1, kDemandStart = 3, kRunning = 4;
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

std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            out += Format("\\u%04x", u);
        } else {
            out += c;
        }
    }
    return out + "\"";
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

const char* StateName(unsigned long state)
{
    static const char* const names[] = {"unknown",       "stopped", "start pending",
                                        "stop pending",  "running", "continue pending",
                                        "pause pending", "paused"};
    return state < sizeof names / sizeof names[0] ? names[state] : "unknown";
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
    return Failures(report) > 0 ? 1 : 0;
}

CheckResult FilterListVerdict(const std::string& device, const std::vector<std::string>& filters)
{
    std::string list;
    bool found = false;
    for (const std::string& f : filters) {
        list += (list.empty() ? "" : ", ") + f;
        std::string lower = f;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return std::tolower(c); });
        found = found || lower == kFilter; // service names are not case-sensitive
    }
    if (list.empty()) {
        list = "none";
    }
    if (found) {
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
                std::string("nmeafilt is a demand-start kernel driver but ") + StateName(f.state)};
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
    const int failed = Failures(r);
    out += failed ? Format("result: FAIL (%d of %d checks failed)\n", failed,
                           static_cast<int>(r.checks.size()))
                  : std::string("result: PASS\n");
    return out;
}

std::string RenderJson(const Report& r)
{
    std::string out = "{\"port\": " + Json(r.port) + Format(", \"seconds\": %u", r.seconds);
    out += ", \"result\": " + std::string(ExitCode(r) ? "\"fail\"" : "\"pass\"");
    out += ", \"checks\": [";
    for (size_t i = 0; i < r.checks.size(); ++i) {
        const CheckResult& c = r.checks[i];
        out += (i ? ", " : "") + std::string("{\"name\": ") + Json(c.name) + ", \"result\": \"" +
               OutcomeName(c.outcome) + "\", \"detail\": " + Json(c.detail) + "}";
    }
    out += "], \"machine_name\": " + (r.hasMachineName ? Json(r.machineName) : std::string("null"));
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
