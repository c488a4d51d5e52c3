#include "plan.h"

#include <cctype>

namespace setup
{

namespace
{

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string Device(const win::PortDevice& d)
{
    return d.portName + " (" + d.instance + ")";
}

std::string ConfigText(const win::ServiceConfig& c)
{
    return "type " + std::to_string(c.type) + ", start " + std::to_string(c.start) +
           ", error control " + std::to_string(c.errorControl) + ", " + c.imagePath;
}

// Finds the port or refuses with the ports there are.
bool FindPort(const Facts& f, Plan* plan)
{
    for (const win::PortDevice& d : f.present) {
        if (SameName(d.portName, f.port) && !d.filtersError.empty()) {
            // Writing a list not read first would drop the filters already on the port.
            plan->refusal = kExitFailed;
            plan->message = "cannot read the UpperFilters of " + Device(d) + ": " + d.filtersError;
            return false;
        }
        if (SameName(d.portName, f.port)) {
            plan->device = d;
            return true;
        }
    }
    plan->refusal = kExitNoPort;
    plan->message = "no present port is " + f.port + "; the ports here are: " + PortList(f.present);
    return false;
}

bool RefuseUnlessAdmin(const Facts& f, Plan* plan)
{
    if (!f.admin) {
        plan->refusal = kExitFailed;
        plan->message = "changing the installation needs an administrator: run it as an "
                        "administrator";
    }
    return f.admin;
}

bool RefuseBadSource(const Facts& f, Plan* plan)
{
    const win::DriverFile& s = f.source;
    plan->refusal = kExitFailed;
    if (!s.present) {
        plan->message = "no driver file " + s.path + (s.error.empty() ? "" : ": " + s.error);
    } else if (!s.isImage || s.image.subsystem != win::kSubsystemNative ||
               s.image.machine != f.machine) {
        plan->message = s.path + " is not a driver this Windows can load";
    } else {
        plan->refusal = 0;
    }
    return plan->refusal != 0;
}

std::string Replacement(const win::DriverFile& from, const win::DriverFile& to)
{
    const std::string next = win::DriverVersionText(to);
    if (!from.present) {
        return "new file, " + next;
    }
    const bool versions =
        from.isImage && from.image.hasVersion && to.isImage && to.image.hasVersion;
    const int order = versions ? win::CompareVersions(to.image.version, from.image.version) : 1;
    if (order == 0) {
        return "replaces another build of " + next;
    }
    return "replaces " + win::DriverVersionText(from) + " with " + (order < 0 ? "older " : "") +
           next;
}

// Other ports that list the filter, present or not: the service and the file are theirs too.
std::vector<const win::PortDevice*> OtherUsers(const std::vector<win::PortDevice>& ports,
                                               const std::string& instance)
{
    std::vector<const win::PortDevice*> out;
    for (const win::PortDevice& d : ports) {
        if (!SameName(d.instance, instance) && win::ListsFilter(d.filters)) {
            out.push_back(&d);
        }
    }
    return out;
}

Step FilterStep(StepKind kind, const win::PortDevice& d, std::vector<std::string> after)
{
    Step s{kind, "", d.hasFilters, d.filters, std::move(after), {}, {}, false};
    s.text = std::string(kind == StepKind::AddFilter ? "add " : "remove ") + win::kFilterName +
             (kind == StepKind::AddFilter ? " to" : " from") + " the UpperFilters of " + Device(d) +
             ": " + win::FilterListText(s.after);
    return s;
}

Step Restart(const win::PortDevice& d)
{
    return {StepKind::RestartDevice, "restart " + Device(d), false, {}, {}, {}, {}, false};
}

} // namespace

std::string PortList(const std::vector<win::PortDevice>& ports)
{
    std::string out;
    for (const win::PortDevice& d : ports) {
        out += (out.empty() ? "" : ", ") + Device(d);
    }
    return out.empty() ? "none" : out;
}

Plan PlanInstall(const Facts& f)
{
    Plan plan;
    if (!FindPort(f, &plan) || RefuseBadSource(f, &plan) || !RefuseUnlessAdmin(f, &plan)) {
        return plan;
    }
    const win::PortDevice& d = plan.device;
    const win::ServiceConfig wanted = win::FilterServiceConfig();
    bool replacing = false;
    if (!f.installed.present || f.installed.sha256 != f.source.sha256) {
        replacing = f.installed.present;
        std::string how = Replacement(f.installed, f.source);
        plan.steps.push_back(
            {StepKind::CopyDriver,
             "copy " + f.source.path + " to " + f.installed.path + " (" + how + ")",
             false,
             {},
             {},
             {},
             {},
             replacing});
        plan.notes.push_back(win::kDriverFileName + std::string(": ") + how);
    }
    if (!f.service.exists) {
        plan.steps.push_back(
            {StepKind::AddService,
             std::string("create the service ") + win::kFilterName + ": " + ConfigText(wanted),
             false,
             {},
             {},
             {},
             wanted,
             false});
    } else if (!win::IsFilterServiceConfig(f.service.config)) {
        plan.steps.push_back({StepKind::CorrectService,
                              std::string("correct the service ") + win::kFilterName + " from " +
                                  ConfigText(f.service.config) + " to " + ConfigText(wanted),
                              false,
                              {},
                              {},
                              f.service.config,
                              wanted,
                              false});
    }
    if (!win::ListsFilter(d.filters)) {
        std::vector<std::string> after = d.filters;
        after.push_back(win::kFilterName);
        plan.steps.push_back(FilterStep(StepKind::AddFilter, d, after));
    }
    if (plan.steps.empty()) {
        plan.message = std::string("nothing to do: ") + win::kFilterName + " is installed on " +
                       Device(d) + " as this build";
        return plan;
    }
    plan.steps.push_back(Restart(d));
    // A loaded driver serving other ports stays loaded through this port's restart.
    std::vector<const win::PortDevice*> others = OtherUsers(f.present, d.instance);
    if (replacing && f.service.state != win::kStopped && !others.empty()) {
        plan.restartReason = "the driver now loaded also serves " + Device(*others[0]) +
                             ": the new file is loaded when Windows restarts";
    }
    return plan;
}

Plan PlanRemove(const Facts& f)
{
    Plan plan;
    if (!FindPort(f, &plan) || !RefuseUnlessAdmin(f, &plan)) {
        return plan;
    }
    if (!f.allKnown) {
        // Deleting the service under a port that still lists it would stop that port starting.
        plan.refusal = kExitFailed;
        plan.message = "cannot list every port, so cannot tell which ones use the filter";
        return plan;
    }
    const win::PortDevice& d = plan.device;
    if (win::ListsFilter(d.filters)) {
        std::vector<std::string> after;
        for (const std::string& name : d.filters) {
            if (!win::ListsFilter({name})) {
                after.push_back(name);
            }
        }
        plan.steps.push_back(FilterStep(StepKind::RemoveFilter, d, after));
        plan.steps.push_back(Restart(d));
    }
    std::vector<const win::PortDevice*> others = OtherUsers(f.all, d.instance);
    if (!others.empty()) {
        plan.notes.push_back(Device(*others[0]) + " still lists " + win::kFilterName +
                             ": the service and the driver file stay");
    } else {
        if (f.service.exists) {
            plan.steps.push_back({StepKind::RemoveService,
                                  std::string("delete the service ") + win::kFilterName,
                                  false,
                                  {},
                                  {},
                                  f.service.config,
                                  {},
                                  false});
        }
        if (f.installed.present) {
            plan.steps.push_back({StepKind::RemoveDriver,
                                  "delete " + f.installed.path,
                                  false,
                                  {},
                                  {},
                                  {},
                                  {},
                                  false});
        }
    }
    if (plan.steps.empty()) {
        plan.message = std::string("nothing to do: ") + win::kFilterName + " is not on " +
                       Device(d) + (others.empty() ? " and not installed" : "");
    }
    return plan;
}

Outcome Run(const Plan& plan, Actions& actions)
{
    Outcome out;
    out.restartReason = plan.restartReason;
    if (plan.refusal != 0) {
        out.exitCode = plan.refusal;
        return out;
    }
    bool failed = false;
    for (const Step& step : plan.steps) {
        StepRecord record{&step, StepResult::Done, ""};
        record.result = actions.Do(step, &record.detail);
        // A device that cannot restart now restarts with Windows; nothing is undone for it.
        if (step.kind == StepKind::RestartDevice && record.result == StepResult::Failed) {
            record.result = StepResult::NeedsRestart;
        }
        if (record.result == StepResult::NeedsRestart && out.restartReason.empty()) {
            out.restartReason = record.detail;
        }
        out.done.push_back(record);
        if (record.result == StepResult::Failed) {
            failed = true;
            break;
        }
    }
    if (!failed) {
        out.exitCode = out.restartReason.empty() ? kExitDone : kExitRestart;
        return out;
    }
    const Step* restart = nullptr;
    for (size_t i = out.done.size() - 1; i-- > 0;) {
        const Step* step = out.done[i].step;
        if (step->kind == StepKind::RestartDevice) {
            restart = step;
            continue;
        }
        StepRecord record{step, StepResult::Done, ""};
        record.result = actions.Undo(*step, &record.detail) ? StepResult::Done : StepResult::Failed;
        out.undone.push_back(record);
    }
    if (restart != nullptr) {
        StepRecord record{restart, StepResult::Done, ""};
        record.result =
            actions.Undo(*restart, &record.detail) ? StepResult::Done : StepResult::Failed;
        out.undone.push_back(record);
    }
    out.exitCode = kExitFailed;
    out.restartReason.clear();
    return out;
}

const char* StepName(StepKind kind)
{
    switch (kind) {
        case StepKind::CopyDriver:
            return "copy-driver";
        case StepKind::AddService:
            return "add-service";
        case StepKind::CorrectService:
            return "correct-service";
        case StepKind::AddFilter:
            return "add-filter";
        case StepKind::RemoveFilter:
            return "remove-filter";
        case StepKind::RestartDevice:
            return "restart-device";
        case StepKind::RemoveService:
            return "remove-service";
        case StepKind::RemoveDriver:
            return "remove-driver";
    }
    return "step";
}

} // namespace setup
