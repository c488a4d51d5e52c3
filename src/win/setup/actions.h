// The steps of a plan, done and undone with SetupAPI, the service manager and the file system.
#pragma once

#include "plan.h"
#include "system.h"

namespace setup
{

class WindowsActions : public Actions
{
  public:
    // `ports` holds the plan's device; `source` is the file CopyDriver installs.
    // `loaded`: whether the driver is loaded now, as the service manager reports it.
    WindowsActions(const win::PortSet& ports, const Plan& plan, const std::string& source,
                   bool loaded);
    ~WindowsActions();
    WindowsActions(const WindowsActions&) = delete;
    WindowsActions& operator=(const WindowsActions&) = delete;

    StepResult Do(const Step& step, std::string* detail) override;
    bool Undo(const Step& step, std::string* detail) override;

  private:
    bool CopyDriver(const Step& step, std::string* detail);
    bool PutBackDriver(const Step& step, std::string* detail);
    bool WriteFilters(bool present, const std::vector<std::string>& filters, std::string* detail);
    StepResult RestartDevice(std::string* detail);
    StepResult DeleteDriver(std::string* detail);

    const win::PortSet& ports_;
    const Plan& plan_;
    std::string source_, target_, backup_;
    bool backedUp_ = false;
    bool loaded_; // the driver's image is in use until it unloads
};

// Whether the user running this is in the Administrators group.
bool IsAdministrator();

} // namespace setup
