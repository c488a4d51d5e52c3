// The plan's steps on Windows: the driver file, the port's UpperFilters and its restart; the
// service steps are in service_steps.cpp.
#include "actions.h"

#include "service_steps.h"

namespace setup
{

namespace
{

// An exclusive open fails with access denied while another program holds a serial port.
bool PortInUse(const std::string& port)
{
    std::string path = "\\\\.\\" + port;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    return GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION;
}

std::string LastError()
{
    return win::ErrorText(GetLastError());
}

} // namespace

bool IsAdministrator()
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &administrators)) {
        return false;
    }
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) {
        member = FALSE;
    }
    FreeSid(administrators);
    return member != FALSE;
}

WindowsActions::WindowsActions(const win::PortSet& ports, const Plan& plan,
                               const std::string& source, bool loaded)
    : ports_(ports), plan_(plan), source_(source), target_(win::DriverTarget()),
      backup_(target_ + ".previous"), loaded_(loaded)
{
}

WindowsActions::~WindowsActions()
{
    if (backedUp_) {
        DeleteFileA(backup_.c_str());
    }
}

StepResult WindowsActions::Do(const Step& step, std::string* detail)
{
    bool ok = false;
    switch (step.kind) {
        case StepKind::CopyDriver:
            ok = CopyDriver(step, detail);
            break;
        case StepKind::AddService:
            ok = CreateFilterService(step.newConfig, detail);
            break;
        case StepKind::CorrectService:
            ok = ConfigureFilterService(step.newConfig, detail);
            break;
        case StepKind::AddFilter:
        case StepKind::RemoveFilter:
            ok = WriteFilters(!step.after.empty(), step.after, detail);
            break;
        case StepKind::RestartDevice:
            return RestartDevice(detail);
        case StepKind::RemoveService:
            ok = DeleteFilterService(detail);
            break;
        case StepKind::RemoveDriver:
            return DeleteDriver(detail);
    }
    return ok ? StepResult::Done : StepResult::Failed;
}

bool WindowsActions::Undo(const Step& step, std::string* detail)
{
    switch (step.kind) {
        case StepKind::CopyDriver:
            return PutBackDriver(step, detail);
        case StepKind::AddService:
            return DeleteFilterService(detail);
        case StepKind::CorrectService:
            return ConfigureFilterService(step.oldConfig, detail);
        case StepKind::AddFilter:
        case StepKind::RemoveFilter:
            return WriteFilters(step.hadFilters, step.before, detail);
        case StepKind::RestartDevice:
            return RestartDevice(detail) != StepResult::Failed;
        case StepKind::RemoveService:
            return CreateFilterService(step.oldConfig, detail);
        case StepKind::RemoveDriver:
            break;
    }
    *detail = "a deleted file cannot be put back";
    return false;
}

bool WindowsActions::CopyDriver(const Step& step, std::string* detail)
{
    if (step.replacesFile) {
        if (!CopyFileA(target_.c_str(), backup_.c_str(), FALSE)) {
            *detail = "cannot keep the previous file as " + backup_ + ": " + LastError();
            return false;
        }
        backedUp_ = true;
    }
    if (!CopyFileA(source_.c_str(), target_.c_str(), FALSE)) {
        *detail = LastError();
        return false;
    }
    return true;
}

bool WindowsActions::PutBackDriver(const Step& step, std::string* detail)
{
    bool ok = step.replacesFile ? CopyFileA(backup_.c_str(), target_.c_str(), FALSE) != 0
                                : DeleteFileA(target_.c_str()) != 0;
    if (!ok) {
        *detail = LastError();
    } else {
        *detail = step.replacesFile ? "the previous file is back" : "the copy is deleted";
    }
    return ok;
}

bool WindowsActions::WriteFilters(bool present, const std::vector<std::string>& filters,
                                  std::string* detail)
{
    SP_DEVINFO_DATA device;
    if (!ports_.Find(plan_.device.instance, &device)) {
        *detail = plan_.device.instance + " is gone";
        return false;
    }
    const std::string data = win::JoinMultiSz(filters);
    // No buffer deletes the value: a port that had no list has none again.
    BOOL ok = SetupDiSetDeviceRegistryPropertyA(ports_.Handle(), &device, SPDRP_UPPERFILTERS,
                                                present ? reinterpret_cast<const BYTE*>(data.data())
                                                        : nullptr,
                                                present ? static_cast<DWORD>(data.size()) : 0);
    if (!ok) {
        *detail = LastError();
        return false;
    }
    // Read back: what Windows now holds is what the report shows.
    win::PortDevice now;
    win::ReadUpperFilters(ports_.Handle(), &device, &now);
    if (now.filters != filters) {
        *detail = "UpperFilters reads " + win::FilterListText(now.filters) + " after writing";
        return false;
    }
    return true;
}

StepResult WindowsActions::RestartDevice(std::string* detail)
{
    SP_DEVINFO_DATA device;
    if (!ports_.Find(plan_.device.instance, &device)) {
        *detail = plan_.device.instance + " is gone";
        return StepResult::Failed;
    }
    const bool inUse = PortInUse(plan_.device.portName);
    SP_PROPCHANGE_PARAMS change = {};
    change.ClassInstallHeader.cbSize = sizeof change.ClassInstallHeader;
    change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    change.StateChange = DICS_PROPCHANGE;
    change.Scope = DICS_FLAG_CONFIGSPECIFIC;
    change.HwProfile = 0; // the current profile
    // Cleared first: a call that fails without saying why leaves an older error behind.
    SetLastError(ERROR_SUCCESS);
    const char* failed = nullptr;
    if (!SetupDiSetClassInstallParamsA(ports_.Handle(), &device, &change.ClassInstallHeader,
                                       sizeof change)) {
        failed = "SetupDiSetClassInstallParams";
    } else if (!SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, ports_.Handle(), &device)) {
        failed = "SetupDiCallClassInstaller";
    }
    if (failed != nullptr) {
        DWORD error = GetLastError();
        *detail = std::string("cannot restart it now: ") + failed + " failed" +
                  (error == ERROR_SUCCESS ? ", giving no reason" : ", " + win::ErrorText(error));
        return StepResult::NeedsRestart;
    }
    SP_DEVINSTALL_PARAMS_A params = {};
    params.cbSize = sizeof params;
    if (SetupDiGetDeviceInstallParamsA(ports_.Handle(), &device, &params) &&
        (params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0) {
        *detail = inUse ? plan_.device.portName + " is open in another program"
                        : "the class installer asks for a restart of Windows";
        return StepResult::NeedsRestart;
    }
    // The driver unloads once no port's stack holds it.
    win::ServiceFacts service = win::ReadService();
    loaded_ = service.exists && service.state != win::kStopped;
    return StepResult::Done;
}

StepResult WindowsActions::DeleteDriver(std::string* detail)
{
    if (!loaded_ && DeleteFileA(target_.c_str())) {
        return StepResult::Done;
    }
    const std::string why = loaded_ ? "the driver is still loaded" : "in use, " + LastError();
    // Still loaded or held open: Windows deletes it while it restarts.
    if (MoveFileExA(target_.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        *detail = why + "; deleted when Windows restarts";
        return StepResult::NeedsRestart;
    }
    *detail = why + "; cannot have it deleted at the next restart either: " + LastError();
    return StepResult::Failed;
}

} // namespace setup
