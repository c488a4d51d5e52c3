// The Windows calls both programs make to find the installation: the Ports devices through
// SetupAPI, the service through the service manager, the driver file on disk.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "installation.h"

namespace win
{

std::string ErrorText(DWORD error);

// The Ports-class devices with a COM PortName, read once; the set stays open for SetupAPI calls
// on its devices.
class PortSet
{
  public:
    explicit PortSet(bool presentOnly);
    ~PortSet();
    PortSet(const PortSet&) = delete;
    PortSet& operator=(const PortSet&) = delete;

    DWORD Error() const { return error_; } // ERROR_SUCCESS when the list could be read
    const std::vector<PortDevice>& Ports() const { return ports_; }
    // The device with that instance ID; false when the set has none.
    bool Find(const std::string& instance, SP_DEVINFO_DATA* device) const;
    HDEVINFO Handle() const { return set_; }

  private:
    HDEVINFO set_;
    DWORD error_ = ERROR_SUCCESS;
    std::vector<PortDevice> ports_;
    std::vector<SP_DEVINFO_DATA> devices_;
};

// The port's UpperFilters as they were read; false with the error when they could not be.
bool ReadUpperFilters(HDEVINFO set, SP_DEVINFO_DATA* device, PortDevice* port);

ServiceFacts ReadService();
DriverFile ReadDriverFile(const std::string& path);
std::string WindowsDirectory();
// %SystemRoot%\system32\drivers\nmeafilt.sys, where the installer puts the driver.
std::string DriverTarget();
// The file the service loads when there is one, else where the installer puts it.
std::string InstalledDriverPath(const ServiceFacts& service);

} // namespace win
