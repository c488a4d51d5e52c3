// The installer's plans, run against a model machine: the UpperFilters edits, what a removal
// may delete, the exit codes, and that a failure at any step leaves the machine as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plan.h"

namespace
{

using setup::StepKind;
using setup::StepResult;
using Names = std::vector<std::string>;

win::DriverFile File(const char* sha, unsigned short minor, bool present = true)
{
    win::DriverFile f;
    f.path = "C:\\WINDOWS\\system32\\drivers\\nmeafilt.sys";
    f.present = present;
    f.isImage = true;
    f.image.machine = win::kMachineI386;
    f.image.subsystem = win::kSubsystemNative;
    f.image.hasVersion = true;
    f.image.version = {{1, minor, 0, 0}};
    f.sha256 = sha;
    return f;
}

win::PortDevice Port(const char* name, const char* instance, Names filters, bool has = true)
{
    return {name, instance, has, filters, ""};
}

// COM1 without the filter, COM3 (the receiver's) with serenum and another filter.
setup::Facts Machine()
{
    setup::Facts f;
    f.port = "COM3";
    f.present = {Port("COM1", "ACPI\\PNP0501\\1", {"serenum"}),
                 Port("COM3", "ACPI\\PNP0501\\2", {"serenum", "other"})};
    f.all = f.present;
    f.admin = true;
    f.source = File("new", 1);
    f.source.path = "E:\\share\\nmeafilt.sys";
    f.installed = File("", 0, false);
    f.machine = win::kMachineI386;
    return f;
}

setup::Facts Installed(Names filters = {"serenum", "other", "nmeafilt"})
{
    setup::Facts f = Machine();
    f.present[1].filters = filters;
    f.all = f.present;
    f.service.exists = true;
    f.service.config = win::FilterServiceConfig();
    f.service.state = win::kRunning;
    f.installed = File("new", 1);
    return f;
}

// "copy-driver add-service ...": the plan's steps by the names its JSON report gives them.
std::string StepsOf(const setup::Plan& plan)
{
    std::string out;
    for (const setup::Step& s : plan.steps) {
        out += (out.empty() ? "" : " ") + std::string(setup::StepName(s.kind));
    }
    return out;
}

// A copy of `facts` with one thing changed.
template <typename Change> setup::Facts With(setup::Facts facts, Change change)
{
    change(facts);
    return facts;
}

const setup::Step* Find(const setup::Plan& plan, StepKind kind)
{
    for (const setup::Step& s : plan.steps) {
        if (s.kind == kind) {
            return &s;
        }
    }
    return nullptr;
}

TEST(Plan, UpperFiltersKeepEveryOtherEntryInOrder)
{
    const struct {
        const char* name;
        Names before;
        bool hadValue;
        Names installed; // the list install writes; empty: no write
        Names removed;   // the list remove writes; empty with `removes`: the value goes
        bool removes;
    } cases[] = {
        {"enumerator only", {"serenum"}, true, {"serenum", "nmeafilt"}, {}, false},
        {"no value at all", {}, false, {"nmeafilt"}, {}, false},
        {"two others", {"serenum", "other"}, true, {"serenum", "other", "nmeafilt"}, {}, false},
        {"already listed, other case", {"serenum", "NmeaFilt"}, true, {}, {"serenum"}, true},
        {"listed twice by hand", {"nmeafilt", "serenum", "nmeafilt"}, true, {}, {"serenum"}, true},
        {"between two others", {"a", "nmeafilt", "b"}, true, {}, {"a", "b"}, true},
        {"alone", {"nmeafilt"}, true, {}, {}, true},
    };
    for (const auto& c : cases) {
        setup::Facts f = Installed(c.before);
        f.present[1].hasFilters = c.hadValue;
        f.all = f.present;
        const setup::Plan install = setup::PlanInstall(f), removal = setup::PlanRemove(f);
        const setup::Step* add = Find(install, StepKind::AddFilter);
        ASSERT_EQ(add != nullptr, !c.installed.empty()) << c.name;
        if (add) {
            EXPECT_EQ(add->after, c.installed) << c.name;
            EXPECT_EQ(add->before, c.before) << c.name;
            EXPECT_EQ(add->hadFilters, c.hadValue) << c.name;
        }
        const setup::Step* remove = Find(removal, StepKind::RemoveFilter);
        ASSERT_EQ(remove != nullptr, c.removes) << c.name;
        if (remove) {
            EXPECT_EQ(remove->after, c.removed) << c.name;
        }
    }
}

TEST(Plan, InstallStepsAndRefusals)
{
    const struct {
        const char* name;
        setup::Facts facts;
        const char* steps;
        int refusal;
        const char* says; // part of the message or of a note
    } cases[] = {
        {"fresh machine", Machine(), "copy-driver add-service add-filter restart-device", 0,
         "new file, version 1.1.0.0"},
        {"installed twice is installed once", Installed(), "", 0, "nothing to do"},
        {"another build of the same version",
         With(Installed(), [](setup::Facts& f) { f.installed.sha256 = "old"; }),
         "copy-driver restart-device", 0, "another build of version 1.1.0.0"},
        {"upgrade", With(Installed(), [](setup::Facts& f) { f.installed = File("old", 0); }),
         "copy-driver restart-device", 0, "replaces version 1.0.0.0 with version 1.1.0.0"},
        {"downgrade", With(Installed(), [](setup::Facts& f) { f.installed = File("newer", 2); }),
         "copy-driver restart-device", 0, "with older version 1.1.0.0"},
        {"service set to start with the system",
         With(Installed(), [](setup::Facts& f) { f.service.config.start = 1; }),
         "correct-service restart-device", 0, ""},
        {"service as Setup writes it is correct",
         With(Installed(),
              [](setup::Facts& f) {
                  f.service.config.imagePath = "\\SystemRoot\\System32\\DRIVERS\\nmeafilt.sys";
              }),
         "", 0, "nothing to do"},
        {"no such port", With(Machine(), [](setup::Facts& f) { f.port = "COM9"; }), "",
         setup::kExitNoPort, "COM1 (ACPI\\PNP0501\\1), COM3 (ACPI\\PNP0501\\2)"},
        {"not an administrator", With(Machine(), [](setup::Facts& f) { f.admin = false; }), "",
         setup::kExitFailed, "run it as an administrator"},
        {"no driver file", With(Machine(), [](setup::Facts& f) { f.source.present = false; }), "",
         setup::kExitFailed, "no driver file E:\\share\\nmeafilt.sys"},
        {"a driver for another machine",
         With(Machine(), [](setup::Facts& f) { f.source.image.machine = win::kMachineAmd64; }), "",
         setup::kExitFailed, "not a driver this Windows can load"},
        {"UpperFilters that cannot be read",
         With(Machine(),
              [](setup::Facts& f) { f.present[1].filtersError = "error 5, Access is denied"; }),
         "", setup::kExitFailed, "cannot read the UpperFilters of COM3"},
        {"a program, not a driver",
         With(Machine(), [](setup::Facts& f) { f.source.image.subsystem = 3; }), "",
         setup::kExitFailed, "not a driver this Windows can load"},
    };
    for (const auto& c : cases) {
        setup::Plan plan = setup::PlanInstall(c.facts);
        EXPECT_EQ(StepsOf(plan), c.steps) << c.name;
        EXPECT_EQ(plan.refusal, c.refusal) << c.name;
        std::string said = plan.message;
        for (const std::string& n : plan.notes) {
            said += "\n" + n;
        }
        EXPECT_NE(said.find(c.says), std::string::npos) << c.name << ": " << said;
        EXPECT_TRUE(plan.restartReason.empty()) << c.name;
    }
}

TEST(Plan, UpgradeUnderAnotherRunningPortNeedsWindowsRestart)
{
    for (unsigned long state : {win::kRunning, win::kStopped}) {
        setup::Facts f = Installed();
        f.present[0].filters = {"serenum", "nmeafilt"};
        f.installed = File("old", 0);
        f.service.state = state;
        setup::Plan plan = setup::PlanInstall(f);
        EXPECT_EQ(plan.restartReason.empty(), state == win::kStopped);
        EXPECT_NE(state == win::kStopped || plan.restartReason.find("COM1") != std::string::npos,
                  false);
    }
}

TEST(Plan, RemoveDeletesOnlyWhatNoOtherPortUses)
{
    const char* const all = "remove-filter restart-device remove-service remove-driver";
    const struct {
        const char* name;
        setup::Facts facts;
        const char* steps;
        int refusal;
        const char* says;
    } cases[] = {
        {"the only port", Installed(), all, 0, ""},
        {"another present port uses it",
         With(Installed(),
              [](setup::Facts& f) {
                  f.present[0].filters = {"serenum", "NMEAFILT"};
                  f.all = f.present;
              }),
         "remove-filter restart-device", 0, "COM1 (ACPI\\PNP0501\\1) still lists"},
        {"an unplugged adapter uses it",
         With(Installed(),
              [](setup::Facts& f) {
                  f.all.push_back(Port("COM7", "USB\\VID_067B&PID_2303\\5", {"nmeafilt"}));
              }),
         "remove-filter restart-device", 0, "COM7"},
        {"filter gone, service and file left over", Installed({"serenum"}),
         "remove-service remove-driver", 0, ""},
        {"nothing installed", Machine(), "", 0, "nothing to do"},
        {"UpperFilters that cannot be read",
         With(Installed(),
              [](setup::Facts& f) { f.present[1].filtersError = "error 5, Access is denied"; }),
         "", setup::kExitFailed, "Access is denied"},
        {"every port cannot be listed",
         With(Installed(), [](setup::Facts& f) { f.allKnown = false; }), "", setup::kExitFailed,
         "cannot list every port"},
        {"no such port", With(Installed(), [](setup::Facts& f) { f.port = "COM4"; }), "",
         setup::kExitNoPort, "COM3 (ACPI\\PNP0501\\2)"},
        {"not an administrator", With(Installed(), [](setup::Facts& f) { f.admin = false; }), "",
         setup::kExitFailed, "administrator"},
    };
    for (const auto& c : cases) {
        setup::Plan plan = setup::PlanRemove(c.facts);
        EXPECT_EQ(StepsOf(plan), c.steps) << c.name;
        EXPECT_EQ(plan.refusal, c.refusal) << c.name;
        std::string said = plan.message + (plan.notes.empty() ? "" : plan.notes[0]);
        EXPECT_NE(said.find(c.says), std::string::npos) << c.name << ": " << said;
    }
}

// The parts of a machine the steps change, and the steps applied to them as Windows would.
struct Model {
    bool hasFilters;
    Names filters;
    bool service;
    win::ServiceConfig config;
    std::string file; // "" when absent
    int restarts = 0;

    bool operator==(const Model& o) const
    {
        return hasFilters == o.hasFilters && filters == o.filters && service == o.service &&
               config.start == o.config.start && config.imagePath == o.config.imagePath &&
               file == o.file;
    }
};

Model ModelOf(const setup::Facts& f)
{
    return {f.present[1].hasFilters, f.present[1].filters, f.service.exists, f.service.config,
            f.installed.present ? f.installed.sha256 : ""};
}

class FakeActions : public setup::Actions
{
  public:
    Model m;
    size_t failAt = ~size_t(0); // the step number that fails
    StepResult failure = StepResult::Failed;
    size_t undoFailsAt = ~size_t(0);
    std::vector<std::string> log;
    std::string source;

    StepResult Do(const setup::Step& step, std::string* detail) override
    {
        log.push_back(std::string("do ") + setup::StepName(step.kind));
        if (log.size() - 1 == failAt) {
            *detail = "injected";
            return failure;
        }
        Apply(step, false);
        return StepResult::Done;
    }
    bool Undo(const setup::Step& step, std::string* detail) override
    {
        log.push_back(std::string("undo ") + setup::StepName(step.kind));
        if (log.size() - 1 == undoFailsAt) {
            *detail = "injected";
            return false;
        }
        Apply(step, true);
        return true;
    }

  private:
    std::string previousFile_;
    void Apply(const setup::Step& s, bool undo)
    {
        switch (s.kind) {
            case StepKind::CopyDriver:
                undo ? (void)(m.file = previousFile_) : (void)(previousFile_ = m.file);
                m.file = undo ? previousFile_ : source;
                break;
            case StepKind::AddService:
            case StepKind::RemoveService:
                m.service = (s.kind == StepKind::AddService) != undo;
                m.config = undo ? s.oldConfig : s.newConfig;
                break;
            case StepKind::CorrectService:
                m.config = undo ? s.oldConfig : s.newConfig;
                break;
            case StepKind::AddFilter:
            case StepKind::RemoveFilter:
                m.filters = undo ? s.before : s.after;
                m.hasFilters = undo ? s.hadFilters : !s.after.empty();
                break;
            case StepKind::RestartDevice:
                ++m.restarts;
                break;
            case StepKind::RemoveDriver:
                m.file = "";
                break;
        }
    }
};

struct Scenario {
    const char* name;
    setup::Facts facts;
    bool install;
};

std::vector<Scenario> Scenarios()
{
    setup::Facts upgrade = Installed({"serenum"});
    upgrade.installed = File("old", 0);
    upgrade.service.config.start = 2;
    return {{"install on a fresh machine", Machine(), true},
            {"upgrade, correcting the service", upgrade, true},
            {"remove from the only port", Installed(), false}};
}

TEST(Run, AFailureAtAnyStepPutsBackWhatWasThere)
{
    for (const Scenario& s : Scenarios()) {
        setup::Plan plan = s.install ? setup::PlanInstall(s.facts) : setup::PlanRemove(s.facts);
        ASSERT_GE(plan.steps.size(), 2u) << s.name;
        for (size_t fail = 0; fail < plan.steps.size(); ++fail) {
            FakeActions fake;
            fake.m = ModelOf(s.facts);
            fake.source = s.facts.source.sha256;
            fake.failAt = fail;
            setup::Outcome o = setup::Run(plan, fake);
            const bool restart = plan.steps[fail].kind == StepKind::RestartDevice;
            SCOPED_TRACE(std::string(s.name) + ", failing " +
                         setup::StepName(plan.steps[fail].kind));
            if (restart) { // a port that cannot restart now restarts with Windows
                EXPECT_EQ(o.exitCode, setup::kExitRestart);
                EXPECT_TRUE(o.undone.empty());
                EXPECT_EQ(o.restartReason, "injected");
                continue;
            }
            EXPECT_EQ(o.exitCode, setup::kExitFailed);
            EXPECT_TRUE(fake.m == ModelOf(s.facts));
            ASSERT_EQ(o.undone.size(), fail);
            for (const setup::StepRecord& r : o.undone) {
                EXPECT_EQ(r.result, StepResult::Done);
            }
            // A restart done before the failure is done again, last, on what was put back.
            bool restarted = false;
            for (size_t i = 0; i < fail; ++i) {
                restarted = restarted || plan.steps[i].kind == StepKind::RestartDevice;
            }
            EXPECT_EQ(fake.log.back() == "undo restart-device", restarted);
        }
        FakeActions whole;
        whole.m = ModelOf(s.facts);
        whole.source = s.facts.source.sha256;
        EXPECT_EQ(setup::Run(plan, whole).exitCode, setup::kExitDone) << s.name;
        EXPECT_EQ(whole.m.restarts, 1) << s.name;
        EXPECT_EQ(win::ListsFilter(whole.m.filters), s.install) << s.name;
        EXPECT_EQ(whole.m.service, s.install) << s.name;
        EXPECT_EQ(whole.m.file, s.install ? "new" : "") << s.name;
        EXPECT_TRUE(!s.install || win::IsFilterServiceConfig(whole.m.config)) << s.name;
    }
}

TEST(Run, ExitCodesAndUndoThatFails)
{
    setup::Plan remove = setup::PlanRemove(Installed());
    FakeActions later; // the file can only go when Windows restarts
    later.m = ModelOf(Installed());
    later.failAt = 3;
    later.failure = StepResult::NeedsRestart;
    setup::Outcome o = setup::Run(remove, later);
    EXPECT_EQ(o.exitCode, setup::kExitRestart);
    EXPECT_EQ(o.restartReason, "injected");

    FakeActions stuck; // the service cannot be deleted, and the list cannot be written back
    stuck.m = ModelOf(Installed());
    stuck.failAt = 2;
    stuck.undoFailsAt = 3;
    o = setup::Run(remove, stuck);
    EXPECT_EQ(o.exitCode, setup::kExitFailed);
    ASSERT_EQ(o.undone.size(), 2u);
    EXPECT_EQ(o.undone[0].result, StepResult::Failed);
    EXPECT_EQ(o.undone[0].step->kind, StepKind::RemoveFilter);
    EXPECT_EQ(o.undone[1].step->kind, StepKind::RestartDevice);

    setup::Plan refused =
        setup::PlanInstall(With(Machine(), [](setup::Facts& f) { f.port = "COM2"; }));
    FakeActions untouched;
    EXPECT_EQ(setup::Run(refused, untouched).exitCode, setup::kExitNoPort);
    EXPECT_TRUE(untouched.log.empty());
}

} // namespace
