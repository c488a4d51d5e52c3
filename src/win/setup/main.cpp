// nmeafilt-setup: puts the filter on one COM port, takes it off again, or shows where it is.
#include <cstdio>

#include "actions.h"
#include "command.h"
#include "render.h"

namespace
{

using namespace setup;

// The machine this program was built for is the one whose drivers load here.
unsigned short OwnMachine()
{
    const BYTE* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew)->FileHeader.Machine;
}

std::string SourcePath(const std::string& given)
{
    char path[MAX_PATH] = {};
    if (!given.empty()) {
        DWORD n = GetFullPathNameA(given.c_str(), sizeof path, path, nullptr);
        return n > 0 && n < sizeof path ? std::string(path) : given;
    }
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string self = n > 0 && n < sizeof path ? std::string(path) : std::string();
    std::string::size_type slash = self.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) +
           win::kDriverFileName;
}

int Status(const Command& command, const win::PortSet& present)
{
    Facts facts;
    facts.present = present.Ports();
    facts.service = win::ReadService();
    facts.installed = win::ReadDriverFile(win::InstalledDriverPath(facts.service));
    std::fputs((command.json ? RenderStatusJson(facts) : RenderStatusText(facts)).c_str(), stdout);
    return kExitDone;
}

int Change(const Command& command, const win::PortSet& present)
{
    const bool install = command.verb == Verb::Install;
    win::PortSet all(false);
    Facts facts;
    facts.port = command.port;
    facts.present = present.Ports();
    facts.all = all.Ports();
    facts.allKnown = all.Error() == ERROR_SUCCESS;
    facts.admin = IsAdministrator();
    facts.service = win::ReadService();
    facts.installed = win::ReadDriverFile(win::DriverTarget());
    facts.machine = OwnMachine();
    if (install) {
        facts.source = win::ReadDriverFile(SourcePath(command.sys));
    }
    Plan plan = install ? PlanInstall(facts) : PlanRemove(facts);
    WindowsActions actions(present, plan, facts.source.path,
                           facts.service.exists && facts.service.state != win::kStopped);
    Outcome outcome = Run(plan, actions);
    const char* name = install ? "install" : "remove";
    std::fputs((command.json ? RenderRunJson(name, facts, plan, outcome)
                             : RenderRunText(name, facts, plan, outcome))
                   .c_str(),
               stdout);
    return outcome.exitCode;
}

} // namespace

int main(int argc, char** argv)
{
    Command command;
    std::string error;
    if (!ParseCommand(argc, argv, &command, &error)) {
        std::fprintf(stderr, "nmeafilt-setup: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (command.help || command.version) {
        std::fputs(command.help ? kUsage : "nmeafilt-setup " NMEAFILT_VERSION "\n", stdout);
        return kExitDone;
    }
    win::PortSet present(true);
    if (present.Error() != ERROR_SUCCESS) {
        std::fprintf(stderr, "nmeafilt-setup: cannot list the Ports devices: %s\n",
                     win::ErrorText(present.Error()).c_str());
        return kExitFailed;
    }
    return command.verb == Verb::Status ? Status(command, present) : Change(command, present);
}
