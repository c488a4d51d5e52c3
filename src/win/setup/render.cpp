#include "render.h"

#include <cstdio>

#include "json.h"

namespace setup
{

namespace
{

using win::Json;

const char* ResultName(StepResult r)
{
    return r == StepResult::Done ? "done" : r == StepResult::NeedsRestart ? "restart" : "failed";
}

std::string Line(const char* tag, const StepRecord& r)
{
    char head[24];
    std::snprintf(head, sizeof head, "[%s]", tag);
    char padded[24];
    std::snprintf(padded, sizeof padded, "%-13s", head);
    return padded + r.step->text + (r.detail.empty() ? "" : ": " + r.detail) + "\n";
}

std::string Summary(const Plan& plan, const Outcome& o)
{
    if (plan.refusal != 0) {
        return "refused: " + plan.message;
    }
    if (o.exitCode == kExitFailed) {
        bool undone = true;
        for (const StepRecord& r : o.undone) {
            undone = undone && r.result == StepResult::Done;
        }
        return o.undone.empty() ? "failed; nothing had been changed"
               : undone         ? "failed; every step before it was undone"
                                : "failed; not every step before it could be undone";
    }
    if (plan.steps.empty()) {
        return "done, " + plan.message;
    }
    return o.exitCode == kExitRestart
               ? "done; restart Windows to complete it (" + o.restartReason + ")"
               : "done";
}

std::string RecordsJson(const std::vector<StepRecord>& records)
{
    std::string out = "[";
    for (const StepRecord& r : records) {
        out += (out.size() > 1 ? ", " : "") + std::string("{\"step\": \"") +
               StepName(r.step->kind) + "\", \"action\": " + Json(r.step->text) +
               ", \"result\": \"" + ResultName(r.result) + "\", \"detail\": " + Json(r.detail) +
               "}";
    }
    return out + "]";
}

std::string ResultWord(const Plan& plan, const Outcome& o)
{
    if (plan.refusal != 0) {
        return plan.refusal == kExitNoPort ? "no-port" : "refused";
    }
    return o.exitCode == kExitFailed ? "failed" : o.exitCode == kExitRestart ? "restart" : "done";
}

std::string Filters(const win::PortDevice& d)
{
    std::string out = "[";
    for (const std::string& f : d.filters) {
        out += (out.size() > 1 ? ", " : "") + Json(f);
    }
    return out + "]";
}

} // namespace

std::string RenderRunText(const char* command, const Facts& f, const Plan& plan, const Outcome& o)
{
    std::string out = std::string("nmeafilt-setup ") + command + " " + f.port + "\n";
    for (const std::string& note : plan.notes) {
        out += note + "\n";
    }
    for (const StepRecord& r : o.done) {
        out += Line(r.result == StepResult::Done           ? "done"
                    : r.result == StepResult::NeedsRestart ? "restart"
                                                           : "FAILED",
                    r);
    }
    for (const StepRecord& r : o.undone) {
        out += Line(r.result == StepResult::Done ? "undone" : "NOT UNDONE", r);
    }
    return out + "result: " + Summary(plan, o) + "\n";
}

std::string RenderRunJson(const char* command, const Facts& f, const Plan& plan, const Outcome& o)
{
    std::string out = std::string("{\"command\": \"") + command + "\", \"port\": " + Json(f.port);
    out += ", \"device\": " +
           (plan.device.instance.empty() ? std::string("null") : Json(plan.device.instance));
    out += ", \"result\": \"" + ResultWord(plan, o) +
           "\", \"exit_code\": " + std::to_string(o.exitCode) +
           ", \"message\": " + Json(Summary(plan, o));
    out += ", \"notes\": [";
    for (size_t i = 0; i < plan.notes.size(); ++i) {
        out += (i ? ", " : "") + Json(plan.notes[i]);
    }
    out += "], \"steps\": " + RecordsJson(o.done) + ", \"undone\": " + RecordsJson(o.undone);
    return out + "}\n";
}

std::string RenderStatusText(const Facts& f)
{
    std::string out = "nmeafilt-setup status\n";
    for (const win::PortDevice& d : f.present) {
        char line[512];
        std::snprintf(line, sizeof line, "%-6s %-32s filter %-3s UpperFilters: %s\n",
                      d.portName.c_str(), d.instance.c_str(),
                      win::ListsFilter(d.filters) ? "yes" : "no",
                      win::FilterListText(d.filters).c_str());
        out += line;
    }
    if (f.present.empty()) {
        out += "no present port\n";
    }
    out += std::string("service ") + win::kFilterName + ": " + win::ServiceText(f.service) + "\n";
    return out + "driver file " + win::DriverFileText(f.installed) + "\n";
}

std::string RenderStatusJson(const Facts& f)
{
    std::string out = "{\"ports\": [";
    for (size_t i = 0; i < f.present.size(); ++i) {
        const win::PortDevice& d = f.present[i];
        out += (i ? ", " : "") + std::string("{\"port\": ") + Json(d.portName) +
               ", \"device\": " + Json(d.instance) + ", \"upper_filters\": " + Filters(d) +
               ", \"filter\": " + (win::ListsFilter(d.filters) ? "true" : "false") + "}";
    }
    out += "], \"service\": " + win::ServiceJson(f.service);
    return out + ", \"driver_file\": " + win::DriverFileJson(f.installed) + "}\n";
}

} // namespace setup
