// The filter's place in the port's stack and its service, as Setup and the service manager
// record them.
#include "probes.h"
#include "system.h"

namespace check
{

namespace
{

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\nmeafilt\\Parameters";

// A service-manager call that failed: skipped when this user may not ask, else failed.
CheckResult ServiceError(const win::ServiceFacts& facts)
{
    if (facts.errorCode == ERROR_ACCESS_DENIED) {
        return {"service", Outcome::Skipped, "querying the service needs rights this user lacks"};
    }
    if (facts.error.empty()) {
        return {"service", Outcome::Fail, "the service nmeafilt is not installed"};
    }
    return {"service", Outcome::Fail, "cannot query the service nmeafilt: " + facts.error};
}

} // namespace

CheckResult ProbeUpperFilter(const std::string& port)
{
    win::PortSet ports(true);
    if (ports.Error() != ERROR_SUCCESS) {
        return {"upper-filter", Outcome::Fail,
                "cannot list the Ports devices: " + ErrorText(ports.Error())};
    }
    for (const win::PortDevice& d : ports.Ports()) {
        if (lstrcmpiA(d.portName.c_str(), port.c_str()) == 0) {
            return FilterListVerdict(d.instance, d.filters);
        }
    }
    return {"upper-filter", Outcome::Fail, "no present Ports device has PortName " + port};
}

CheckResult ProbeService(win::ServiceFacts* facts)
{
    *facts = win::ReadService();
    if (!facts->exists) {
        return ServiceError(*facts);
    }
    return ServiceVerdict({facts->config.type, facts->config.start, facts->state});
}

bool ReadMachineName(std::string* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    char value[256] = {};
    DWORD size = sizeof value - 1, type = 0;
    LONG status =
        RegQueryValueExA(key, "MachineName", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    *name = value;
    return true;
}

std::string ErrorText(DWORD error)
{
    return win::ErrorText(error);
}

} // namespace check
