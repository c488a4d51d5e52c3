// What nmeafilt-setup does, decided apart from doing it: the steps of an install or a removal
// from the facts found on the machine, the undo of every step done when a later one fails,
// and the exit code. The Windows calls stand behind the Actions interface.
#pragma once

#include <string>
#include <vector>

#include "installation.h"

namespace setup
{

const int kExitDone = 0, kExitFailed = 1, kExitUsage = 2, kExitRestart = 3, kExitNoPort = 4;

// What the Windows side found before anything was changed.
struct Facts {
    std::string port;                     // the port asked for, "COM3"
    std::vector<win::PortDevice> present; // present Ports devices
    std::vector<win::PortDevice> all;     // every Ports device Windows knows, present or not
    bool allKnown = true;                 // false when `all` could not be read
    bool admin = false;
    win::ServiceFacts service;
    win::DriverFile source;     // the file to install
    win::DriverFile installed;  // %SystemRoot%\system32\drivers\nmeafilt.sys
    unsigned short machine = 0; // the machine a driver must be built for to load here
};

enum class StepKind {
    CopyDriver,
    AddService,
    CorrectService,
    AddFilter,
    RemoveFilter,
    RestartDevice,
    RemoveService,
    RemoveDriver,
};

struct Step {
    StepKind kind;
    std::string text; // what the step does, in words
    // The port's UpperFilters before and after the step; a list that was absent stays absent
    // when written back, and an empty one is deleted.
    bool hadFilters = false;
    std::vector<std::string> before, after;
    // The service's configuration before (what an undo restores) and after.
    win::ServiceConfig oldConfig, newConfig;
    bool replacesFile = false; // CopyDriver over an existing file, which an undo puts back
};

struct Plan {
    int refusal = 0;        // an exit code when nothing may be done
    std::string message;    // why it refuses, or that there is nothing to do
    win::PortDevice device; // the port's device as it was found
    std::vector<Step> steps;
    std::vector<std::string> notes; // what a person should know about the steps
    std::string restartReason;      // non-empty when only a restart of Windows completes it
};

Plan PlanInstall(const Facts& facts);
Plan PlanRemove(const Facts& facts);
// "COM1 (ACPI\PNP0501\1), COM3 (...)": the present ports, for a message.
std::string PortList(const std::vector<win::PortDevice>& ports);

enum class StepResult { Done, NeedsRestart, Failed };

class Actions
{
  public:
    // `detail` says what happened, or why it failed or needs a restart.
    virtual StepResult Do(const Step& step, std::string* detail) = 0;
    virtual bool Undo(const Step& step, std::string* detail) = 0;

  protected:
    ~Actions() = default;
};

struct StepRecord {
    const Step* step;
    StepResult result;
    std::string detail;
};

struct Outcome {
    int exitCode = kExitDone;
    std::vector<StepRecord> done;   // in order, the last one the failure if there was one
    std::vector<StepRecord> undone; // in the order they were undone; Failed when an undo failed
    std::string restartReason;
};

// Runs the plan's steps in order; on a failure undoes the steps done, in reverse, restarting the
// device last so that it comes up with what was put back.
Outcome Run(const Plan& plan, Actions& actions);

const char* StepName(StepKind kind); // "copy-driver", for JSON

} // namespace setup
